// The configurator's checks of an export against this machine and the
// service: what the create dialog refuses because it could never start,
// and the cause a failed start is reported with. Plain functions over the
// records; the file system and the TCP table are only read.
#ifndef QUENSARIA_CONFIGURATOR_RULES_EXPORT_CHECKS_H_
#define QUENSARIA_CONFIGURATOR_RULES_EXPORT_CHECKS_H_

#include <string>
#include <vector>

#include "configurator/rules/list_rows.h"
#include "platform/tcp_table.h"
#include "shared/management_records.h"

namespace quensaria::configurator {

// Why a new export is refused; empty when it may be created. A source that
// does not exist (an image file must be there to be served; an RBD image is
// the service's to find) or is a pipe, a character device or a directory,
// or a port that another export of this service listens on at an address
// that overlaps (either side "Any", or the same address).
std::string CreateRefusal(const ServerConfig& config, const std::vector<ServerRow>& servers);

// The cause of a failed StartServer as far as this machine shows it: the
// source gone, another export of the service on the port, or the program
// listening there (`listeners` from platform::TcpListenersOn). Empty when
// nothing explains it.
std::string StartFailureCause(const ServerConfig& config, Handle server,
                              const std::vector<ServerRow>& servers,
                              const std::vector<platform::TcpListener>& listeners);

// The status text of a failed start: the cause when one is known, else
// kStartFailedStatus.
std::string StartFailureText(const ServerConfig& config, const std::string& cause);

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_RULES_EXPORT_CHECKS_H_
