// ConfigurationStore: the registry's persistent content (every server's
// ServerConfig and static client list) in "Locals.xml" in the state
// directory, written through "Locals.bak.xml". The file declares and really
// uses the GB2312 encoding; the program's strings are UTF-8.
//
// LoadConfiguration runs once at start-up, before any other registry user;
// SaveConfiguration is the registry's save hook (called under the registry
// lock) and runs once more at service stop. Neither throws; a save that
// fails leaves Locals.xml as it was. Saves are durable: the new file is
// flushed to disk before it replaces the old one.
#ifndef QUENSARIA_SERVICE_STORE_CONFIGURATION_STORE_H_
#define QUENSARIA_SERVICE_STORE_CONFIGURATION_STORE_H_

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/registry/server_registry.h"
#include "shared/management_records.h"
#include "shared/status.h"

namespace quensaria::store {

inline constexpr char kConfigurationFileName[] = "Locals.xml";
inline constexpr char kBackupFileName[] = "Locals.bak.xml";
// Where an unreadable Locals.xml is kept instead of being overwritten.
inline constexpr char kBrokenFileName[] = "Locals.broken.xml";
// No real configuration comes near this; a larger file is not read.
inline constexpr size_t kMaxConfigurationBytes = 64u << 20;

// The servers of an XML document in file order, or nullopt when `xml` is not
// a well-formed document. Every child element of the root is a server and
// every child element of a server a static client, whatever their names.
std::optional<std::vector<registry::StoredServer>> ParseConfiguration(std::string_view xml);

// The file bytes for `servers`. A non-empty `previous` document (a left-over
// Locals.bak.xml) lends its root element and the nodes around it.
Result<std::string> FormatConfiguration(const std::vector<registry::StoredServer>& servers,
                                        std::string_view previous = {});

class ConfigurationStore {
 public:
  // Receives each stored server in file order; the registry starts the
  // servers marked started as it takes them.
  using LoadServerFn =
      std::function<void(const ServerConfig& config, const std::vector<ClientEntry>& clients)>;

  explicit ConfigurationStore(std::string state_directory);

  // Reads Locals.xml and hands every server to `load_server`. A missing file
  // loads nothing; an unreadable one is renamed to Locals.broken.xml first.
  // Enables saving whatever happened.
  void LoadConfiguration(const LoadServerFn& load_server);

  // Writes `servers` to Locals.xml. Does nothing (and succeeds) before the
  // first load.
  Status SaveConfiguration(const std::vector<registry::StoredServer>& servers);

  bool loaded() const { return loaded_.load(); }
  std::string ConfigurationPath() const;
  std::string BackupPath() const;

 private:
  std::string directory_;
  std::atomic<bool> loaded_{false};
};

}  // namespace quensaria::store

#endif  // QUENSARIA_SERVICE_STORE_CONFIGURATION_STORE_H_
