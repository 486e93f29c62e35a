#include "mounter/drive_texts.h"

#include <arpa/inet.h>

#include <QStringList>

#include "shared/dotted_ipv4.h"

namespace quensaria::mounter {

QString TrayUnmountItemText(const MountedDrive& drive) {
  const QString letter = QStringLiteral(" %1:").arg(QChar::fromLatin1(drive.letter));
  // The source is "%s : %d" for a network disk and the bare path for an
  // image, as the list shows them.
  return drive.query.sourceType == kSourceTypeNetwork
             ? letter + QStringLiteral(" (") + drive.source + QStringLiteral(")")
             : letter + QStringLiteral("(") + drive.source + QStringLiteral(")");
}

QString DigitsOnly(const QString& typed) {
  QString digits;
  for (const QChar c : typed) {
    if (c >= u'0' && c <= u'9') digits += c;
  }
  return digits;
}

QString Ipv4Text(uint32_t address) {
  return QString::fromLatin1(FormatIpv4(htonl(address)).c_str());
}

std::optional<uint32_t> Ipv4FromText(const QString& text) {
  const QStringList parts = text.split(u'.');
  if (parts.size() != 4) return std::nullopt;
  uint32_t address = 0;
  for (const QString& part : parts) {
    if (part.isEmpty() || part.size() > 3 || DigitsOnly(part) != part) return std::nullopt;
    const uint32_t value = part.toUInt();
    if (value > 255) return std::nullopt;
    address = (address << 8) | value;
  }
  return address;
}

QString QtFileFilter(const QString& pairs) {
  QStringList names;
  const QStringList parts = pairs.split(u'|');
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty()) break;  // "||" ends the list
    names.append(parts[i]);
  }
  return names.join(QStringLiteral(";;"));
}

}  // namespace quensaria::mounter
