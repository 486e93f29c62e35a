#include "configurator/document/configurator_defaults.h"

#include <QByteArray>
#include <QSettings>
#include <cstring>

namespace quensaria::configurator {
namespace {

constexpr char kAutoAddClient[] = "AutoAddClient";
constexpr char kLoginPassword[] = "LoginPassword";
constexpr char kManagePassword[] = "ManagePassword";

QString SystemFile() {
  QSettings settings(QSettings::IniFormat, QSettings::SystemScope, "Ostravin", "Quensaria");
  return settings.fileName();
}

// A REG_BINARY value of exactly `size` bytes, or nothing.
std::optional<QByteArray> ReadBinary(const QString& file, const char* name, int size) {
  QSettings settings(file, QSettings::IniFormat);
  const QVariant value = settings.value(name);
  if (!value.isValid()) return std::nullopt;
  const QByteArray bytes = value.toByteArray();
  if (bytes.size() != size) return std::nullopt;
  return bytes;
}

void WriteBinary(const QString& file, const char* name, const QByteArray& bytes) {
  QSettings settings(file, QSettings::IniFormat);
  settings.setValue(name, bytes);
  settings.sync();  // a failure (no rights) is not reported
}

std::optional<Sha1Digest> ReadDigest(const QString& file, const char* name) {
  const std::optional<QByteArray> bytes =
      ReadBinary(file, name, static_cast<int>(sizeof(Sha1Digest)));
  if (!bytes) return std::nullopt;
  Sha1Digest digest{};
  std::memcpy(digest.data(), bytes->constData(), digest.size());
  return digest;
}

}  // namespace

ConfiguratorDefaults::ConfiguratorDefaults() : file_(SystemFile()) {}
ConfiguratorDefaults::ConfiguratorDefaults(QString file) : file_(std::move(file)) {}

bool ConfiguratorDefaults::AutoAddClient() const {
  const std::optional<QByteArray> bytes = ReadBinary(file_, kAutoAddClient, 4);
  if (!bytes) return true;
  uint32_t value = 0;
  std::memcpy(&value, bytes->constData(), sizeof value);
  return value != 0;
}

std::optional<Sha1Digest> ConfiguratorDefaults::LoginPassword() const {
  return ReadDigest(file_, kLoginPassword);
}

std::optional<Sha1Digest> ConfiguratorDefaults::ManagePassword() const {
  return ReadDigest(file_, kManagePassword);
}

void ConfiguratorDefaults::SetAutoAddClient(bool on) {
  const uint32_t value = on ? 1 : 0;
  WriteBinary(file_, kAutoAddClient,
              QByteArray(reinterpret_cast<const char*>(&value), sizeof value));
}

void ConfiguratorDefaults::SetLoginPassword(const Sha1Digest& digest) {
  WriteBinary(
      file_, kLoginPassword,
      QByteArray(reinterpret_cast<const char*>(digest.data()), static_cast<int>(digest.size())));
}

void ConfiguratorDefaults::SetManagePassword(const Sha1Digest& digest) {
  WriteBinary(
      file_, kManagePassword,
      QByteArray(reinterpret_cast<const char*>(digest.data()), static_cast<int>(digest.size())));
}

}  // namespace quensaria::configurator
