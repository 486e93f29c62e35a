// ConfigurationStore: the registry's persistent content (every server's
// ServerConfig and static client list) in "Locals.xml" in the state
// directory, written through "Locals.bak.xml". The file declares and really
// uses the GB2312 encoding; the program's strings are UTF-8.
//
// LoadConfiguration runs once at start-up, before any other registry user;
// SaveConfiguration is the registry's save hook (called under the registry
// lock) and runs once more at service stop. Neither throws; a save that
// fails leaves Locals.xml as it was. Saves are durable: the new file is
// flushed to disk before it replaces the old one. A Locals.xml that is a
// symbolic link stays one: the save replaces the file it points to, through
// a Locals.bak.xml in that file's directory.
//
// Nothing the administrator wrote is lost silently: an unreadable file is
// kept aside, and when a load could not take every value as written (see
// configuration_reader.h) each such value is reported on the console and
// the file as read is kept before the first save replaces it. Kept files
// never overwrite one another (kept_files.h).
//
// The files hold password digests, which are as good as the passwords to a
// client: Locals.xml, Locals.bak.xml and the kept files are written with
// mode 0600, and the load narrows any of them that a wider mode lets others
// read, with a console line for each.
#ifndef QUENSARIA_SERVICE_STORE_CONFIGURATION_STORE_H_
#define QUENSARIA_SERVICE_STORE_CONFIGURATION_STORE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/store/configuration_reader.h"
#include "shared/management_records.h"
#include "shared/status.h"
#include "shared/stored_server.h"

namespace quensaria::store {

inline constexpr char kConfigurationFileName[] = "Locals.xml";
inline constexpr char kBackupFileName[] = "Locals.bak.xml";
// Kept names (kept_files.h): an unreadable Locals.xml, moved aside at the
// load; a Locals.xml as read, when the load changed values, before the save.
inline constexpr char kBrokenStem[] = "Locals.broken";
inline constexpr char kOriginalStem[] = "Locals.orig";
// The mode of every file the store writes: the owner's (root's) alone.
inline constexpr uint32_t kStoredFileMode = 0600;
// No real configuration comes near this; a larger file is not read.
inline constexpr size_t kMaxConfigurationBytes = 64u << 20;

// The file bytes for `servers`. A non-empty `previous` document (a left-over
// Locals.bak.xml) lends its root element and the nodes around it.
Result<std::string> FormatConfiguration(const std::vector<StoredServer>& servers,
                                        std::string_view previous = {});

class ConfigurationStore {
 public:
  // Receives each stored server in file order; the registry starts the
  // servers marked started as it takes them.
  using LoadServerFn =
      std::function<void(const ServerConfig& config, const std::vector<ClientEntry>& clients)>;

  explicit ConfigurationStore(std::string state_directory);

  // Narrows the modes of the files that hold digests, then reads Locals.xml
  // and hands every server to `load_server`. A missing file loads nothing;
  // an unreadable one is first moved to a kept "Locals.broken" name beside
  // the file. Every value not taken as written is reported on the console.
  // Enables saving whatever happened.
  void LoadConfiguration(const LoadServerFn& load_server);

  // Writes `servers` to Locals.xml. Does nothing (and succeeds) before the
  // first load. When the load changed values, the first save first keeps
  // the file as read under a "Locals.orig" name and saves nothing until
  // that has worked.
  Status SaveConfiguration(const std::vector<StoredServer>& servers);

  bool loaded() const { return loaded_.load(); }
  std::string ConfigurationPath() const;
  std::string BackupPath() const;

 private:
  Status KeepOriginal(const std::string& directory);
  void NarrowStoredFiles();

  std::string directory_;
  std::atomic<bool> loaded_{false};
  // The bytes of a Locals.xml that the load did not take whole, until a
  // save has kept them. Only the load and the (serialised) saves touch it.
  std::optional<std::string> original_;
};

}  // namespace quensaria::store

#endif  // QUENSARIA_SERVICE_STORE_CONFIGURATION_STORE_H_
