#include "configurator/rules/export_checks.h"

#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "configurator/rules/configurator_rules.h"
#include "shared/rbd_source.h"
#include "shared/utf16.h"

namespace quensaria::configurator {
namespace {

std::string SourceOf(const ServerConfig& config) {
  return std::string(config.Source, strnlen(config.Source, sizeof config.Source));
}

// Only a source that is certainly absent counts: one this user may not
// look at may still be there for the service, and an RBD image lives in
// its cluster, which only the service reaches.
bool SourceMissing(const std::string& source) {
  if (IsRbdSource(source)) return false;
  struct stat st;
  return ::stat(source.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// A pipe, a character device, a socket or a directory: there, but with no
// blocks for the service to serve.
bool SourceIsNoDisk(const std::string& source) {
  if (IsRbdSource(source)) return false;
  struct stat st;
  return ::stat(source.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode);
}

bool AddressesOverlap(uint32_t a, uint32_t b) { return a == 0 || b == 0 || a == b; }

const ServerRow* OtherExportOnPort(const ServerConfig& config, Handle self,
                                   const std::vector<ServerRow>& servers) {
  for (const ServerRow& row : servers) {
    if (!row.read_ok || row.handle == self) continue;
    if (row.config.Port == config.Port &&
        AddressesOverlap(row.config.IpAddress, config.IpAddress)) {
      return &row;
    }
  }
  return nullptr;
}

std::string ExportName(const ServerRow& row) {
  return AddressText(row.config.IpAddress) + ":" + std::to_string(row.config.Port) + " (" +
         DataLocationText(row.config) + ")";
}

std::string UserName(uid_t uid) {
  const passwd* user = ::getpwuid(uid);
  return user != nullptr ? user->pw_name : "uid " + std::to_string(uid);
}

}  // namespace

std::string CreateRefusal(const ServerConfig& config, const std::vector<ServerRow>& servers) {
  const std::string source = SourceOf(config);
  if (SourceMissing(source)) {
    return "The source " + source + " does not exist: choose an existing image file or device.";
  }
  if (SourceIsNoDisk(source)) {
    return "The source " + source +
           " is neither a file nor a block device: choose an image file or a disk.";
  }
  if (const ServerRow* other = OtherExportOnPort(config, 0, servers)) {
    return "Port " + std::to_string(config.Port) + " is already used by the export " +
           ExportName(*other) + ": choose another port.";
  }
  return {};
}

std::string StartFailureCause(const ServerConfig& config, Handle server,
                              const std::vector<ServerRow>& servers,
                              const std::vector<platform::TcpListener>& listeners) {
  const std::string source = SourceOf(config);
  if (SourceMissing(source)) return "the source " + source + " does not exist";
  const std::string port = std::to_string(config.Port);
  if (const ServerRow* other = OtherExportOnPort(config, server, servers);
      other != nullptr && other->started()) {
    return "port " + port + " is used by the export " + ExportName(*other);
  }
  for (const platform::TcpListener& listener : listeners) {
    if (!AddressesOverlap(listener.address, config.IpAddress) && !listener.ipv6) continue;
    if (listener.pid != 0) {
      // A process names itself (prctl), so the name may hold control characters.
      return "port " + port + " is in use by " + TerminalText(listener.program) + " (process " +
             std::to_string(listener.pid) + ")";
    }
    return "port " + port + " is in use by another program (of user " + UserName(listener.uid) +
           ")";
  }
  return {};
}

std::string StartFailureText(const ServerConfig& config, const std::string& cause) {
  if (cause.empty()) return kStartFailedStatus;
  return "Quensaria Service could not start the server " + AddressText(config.IpAddress) + ":" +
         std::to_string(config.Port) + ": " + cause + ".";
}

}  // namespace quensaria::configurator
