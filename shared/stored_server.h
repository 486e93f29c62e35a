// StoredServer: one server as it is persisted, its ServerConfig and its
// static client list in list order (online clients are never stored). The
// registry hands these to its save hook; the configuration store writes and
// reads them. Plain values, copied freely; no handles inside.
#ifndef QUENSARIA_SHARED_STORED_SERVER_H_
#define QUENSARIA_SHARED_STORED_SERVER_H_

#include <vector>

#include "shared/management_records.h"

namespace quensaria {

struct StoredServer {
  ServerConfig config;
  std::vector<ClientEntry> static_clients;
};

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_STORED_SERVER_H_
