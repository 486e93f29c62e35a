// MounterSettings: everything the mounter remembers, in QSettings INI files.
// "Velmoran.conf", group "Mounter": the add-device defaults, the saved drives
// ("Drive0".."Drive7", whole MountRecords) and password digests
// ("Password%x%x"), written in the user's scope (mode 0600) and read from the
// user's scope first, then the system scope, where an administrator may
// pre-seed drives. "TempFolder" in the user's [General]. The log-on entry is
// the XDG autostart file "VelmoranMounter.desktop". Values that cannot be read
// leave the default in place; nothing is reported. GUI thread (or the
// automatic mount's only thread).
#ifndef QUENSARIA_MOUNTER_MOUNTER_SETTINGS_H_
#define QUENSARIA_MOUNTER_MOUNTER_SETTINGS_H_

#include <QString>
#include <cstdint>
#include <optional>

#include "shared/block_protocol.h"
#include "shared/mount_record.h"
#include "shared/sha1.h"

namespace quensaria::mounter {

inline constexpr int kDriveSlots = 8;

// Where the files live. Default() follows the XDG variables (XDG_CONFIG_HOME,
// XDG_CONFIG_DIRS' first entry, XDG_CACHE_HOME) with their usual fallbacks;
// tests pass directories of their own.
struct SettingsPaths {
  QString userConfigDir;    // ~/.config: Ostravin/Velmoran.conf, autostart/
  QString systemConfigDir;  // /etc/xdg: Ostravin/Velmoran.conf, read only
  QString cacheDir;         // ~/.cache: the temporary folder's default is velmoran/ in it
  static SettingsPaths Default();
};

// The add-device dialog's last answers.
struct AddDeviceDefaults {
  uint32_t type = 0;       // 0 network disk, 1 disk image
  uint32_t ipAddress = 0;  // first octet in the most significant byte
  uint32_t port = kDefaultPort;
  QString fileName;     // last image file path
  QString moreServers;  // the other servers, as typed ("10.0.0.6:60000, ...")
  bool tls = false;     // the TLS box
};

class MounterSettings {
 public:
  explicit MounterSettings(SettingsPaths paths = SettingsPaths::Default());

  const SettingsPaths& paths() const { return paths_; }
  // The user's Velmoran.conf, where every value is written.
  QString UserFilePath() const;

  AddDeviceDefaults ReadAddDeviceDefaults() const;
  // False when the user's file could not be written.
  bool WriteAddDeviceDefaults(const AddDeviceDefaults& defaults);

  // "Drive%d" (index 0..7): the record of the last mount on that index, or
  // nothing when the value is missing or not 1264 bytes.
  std::optional<MountRecord> ReadDrive(int index) const;
  // The writes and RemoveDrive return false when the user's file could not
  // be written.
  bool WriteDrive(int index, const MountRecord& record);
  // Empties slot `index`: the user's value goes, and one the system scope
  // still holds there is hidden by an empty value.
  bool RemoveDrive(int index);

  // "Password%x%x" for an address and port as they lie in a MountRecord
  // (network byte order).
  static QString PasswordValueName(uint32_t address_net, uint16_t port_net);
  // The saved digest (the value's first 20 bytes), or nothing. Beside it,
  // "ServerOfPassword%x%x" names its server ("10.0.0.5:60000"): a digest
  // that names another server (whose value name is the same) is nothing.
  std::optional<Sha1Digest> ReadPassword(uint32_t address_net, uint16_t port_net) const;
  bool WritePassword(uint32_t address_net, uint16_t port_net, const Sha1Digest& digest);
  // Forgets the digest of that server, as RemoveDrive empties a slot: the
  // user's value goes, and one the system scope still gives is hidden by an
  // empty value. False when the user's file could not be written.
  bool RemovePassword(uint32_t address_net, uint16_t port_net);

  // The temporary folder for write-cache files, always ending in "/",
  // created if missing. A missing value or a folder that no longer exists
  // gives the default <cacheDir>/velmoran/.
  QString GetTempFolder() const;
  // False when the settings file could not be written.
  bool SetTempFolder(const QString& folder);
  QString DefaultTempFolder() const;

  // The driver's runtime directory: "DriverRuntimeDir" in the Mounter group
  // (an administrator's choice), default "/run/velmoran".
  QString DriverRuntimeDir() const;

  // The log-on entry "VelmoranMounter": <userConfigDir>/autostart/
  // VelmoranMounter.desktop, whose Exec line is the program path and " -a".
  QString LogOnEntryPath() const;
  bool HasLogOnEntry() const;
  bool WriteLogOnEntry(const QString& program_path);
  bool DeleteLogOnEntry();

 private:
  SettingsPaths paths_;
};

// The settings dialog's logic; the dialog itself only shows these values.
struct SettingsDialogValues {
  bool startAtLogOn = false;
  QString tempFolder;
  // On opening: false when the present log-on entry could not be rewritten.
  bool logOnEntryRepaired = true;
};

// On opening: the log-on box and the folder; a present log-on entry is
// rewritten with `program_path` (a moved program repairs its entry), and
// `logOnEntryRepaired` says whether that worked.
SettingsDialogValues OpenSettingsDialog(MounterSettings& settings, const QString& program_path);

// On OK: stores the folder (created if needed) and writes or deletes the
// log-on entry. Returns an empty text on success, or the message to show
// while the dialog stays open ("Path not exist or the path specified is
// invalid.", or which file could not be written or removed).
QString AcceptSettingsDialog(MounterSettings& settings, const QString& program_path,
                             const SettingsDialogValues& values);

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_MOUNTER_SETTINGS_H_
