// The driver's global drive-letter links: `links_dir`/X: is a symbolic link
// to the device file that drive X is mounted on. A link is only ever removed
// by the device it points to, so two devices mounted with the same letter
// never take each other's link away.
#ifndef QUENSARIA_DRIVER_DRIVE_LINKS_H_
#define QUENSARIA_DRIVER_DRIVE_LINKS_H_

#include <string>

namespace quensaria::driver {

// "X:" for a capital letter A..Z; empty for any other byte.
std::string DriveLinkName(char letter);

// Creates links_dir/X: -> target. False when the letter is not A..Z or the
// name is taken (by a link of another device, or anything else).
bool CreateDriveLink(const std::string& links_dir, char letter, const std::string& target);
// Removes links_dir/X: if it is a link to `target`.
void DeleteDriveLink(const std::string& links_dir, char letter, const std::string& target);
// Removes every link in links_dir that points into `device_dir`: what a
// driver that died left behind. Returns how many were removed.
int ClearDriveLinks(const std::string& links_dir, const std::string& device_dir);

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_DRIVE_LINKS_H_
