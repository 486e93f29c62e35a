// The configurator's three defaults: "AutoAddClient" (4 bytes, 0 or 1;
// absent counts as 1), "LoginPassword" and "ManagePassword" (20-byte
// digests; absent means no default). Kept as QSettings values in the
// system scope, /etc/xdg/Ostravin/Quensaria.conf, group [General]; tests
// name another file. Reads fall back silently; a write says whether it was
// made.
// Writes keep the file from other users (0640 when made, for the group
// quensaria where it exists; a group given to it stays); a digest is not
// written to a file readable by all that cannot be made private.
// GUI thread only.
#ifndef QUENSARIA_CONFIGURATOR_DOCUMENT_CONFIGURATOR_DEFAULTS_H_
#define QUENSARIA_CONFIGURATOR_DOCUMENT_CONFIGURATOR_DEFAULTS_H_

#include <QString>
#include <optional>

#include "shared/password_digest.h"

namespace quensaria::configurator {

class ConfiguratorDefaults {
 public:
  // The system-scope file; `file` names another INI file instead.
  ConfiguratorDefaults();
  explicit ConfiguratorDefaults(QString file);

  bool AutoAddClient() const;
  std::optional<Sha1Digest> LoginPassword() const;
  std::optional<Sha1Digest> ManagePassword() const;

  // False when the value could not be written (no rights to the file, or a
  // digest kept from a file readable by all).
  bool SetAutoAddClient(bool on);
  bool SetLoginPassword(const Sha1Digest& digest);
  bool SetManagePassword(const Sha1Digest& digest);

  const QString& file() const { return file_; }

 private:
  QString file_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_DOCUMENT_CONFIGURATOR_DEFAULTS_H_
