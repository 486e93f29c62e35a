// Texts of the mounter's window that MountManager does not make: the tray's
// unmount items, and the helpers behind the add-device dialog's fields.
// Plain functions, tested without widgets.
#ifndef QUENSARIA_MOUNTER_DRIVE_TEXTS_H_
#define QUENSARIA_MOUNTER_DRIVE_TEXTS_H_

#include <QString>
#include <cstdint>
#include <optional>

#include "mounter/mount_manager.h"

namespace quensaria::mounter {

// The tray's unmount item of a drive: " D:(/srv/disk.img)" for an image,
// " D: (10.0.0.5 : 60000)" for a network disk (the letter right-aligned in
// two columns, as the menu has always shown it).
QString TrayUnmountItemText(const MountedDrive& drive);

// The tray item's command identifier: 0x9000 plus the letter's code.
inline constexpr int TrayUnmountCommand(char letter) { return 0x9000 + letter; }

// The port field keeps digits only: `typed` without every other character.
QString DigitsOnly(const QString& typed);

// Dotted IPv4 text of an address held as the address control holds it
// (first octet in the most significant byte), and back. nullopt for text
// that is not four numbers 0..255.
QString Ipv4Text(uint32_t address);
std::optional<uint32_t> Ipv4FromText(const QString& text);

// A file dialog's filter as Qt takes it ("Disk Image Files (*.img);;All
// Files (*.*)") from the "name|pattern|name|pattern||" form the mounter's
// filters are written in.
QString QtFileFilter(const QString& pairs);

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_DRIVE_TEXTS_H_
