// The mount table of this process's mount namespace, /proc/self/mountinfo,
// read in one place: its fields and the octal escapes of its paths.
#ifndef QUENSARIA_PLATFORM_MOUNT_TABLE_H_
#define QUENSARIA_PLATFORM_MOUNT_TABLE_H_

#include <string>
#include <string_view>
#include <vector>

namespace quensaria::platform {

// One line of mountinfo, its paths unescaped:
//   ID PARENT MAJ:MIN ROOT MOUNT_POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER
struct MountEntry {
  std::string device_numbers;  // "MAJ:MIN"
  std::string root;            // the mounted file system's folder shown there
  std::string mount_point;
  std::string type;  // "ext4", "fuse", "fuse.velmoran"...
  std::string source;
};

// Undoes the escapes the kernel writes for a blank, tab, newline and
// backslash in a path ("\040"); any other backslash stays as it is.
std::string UnescapeMountField(std::string_view field);

// The entries of mountinfo text; lines it cannot read are left out.
std::vector<MountEntry> ParseMountTable(std::string_view text);

// The entries of /proc/self/mountinfo now; none when it cannot be read.
std::vector<MountEntry> ReadMountTable();

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_MOUNT_TABLE_H_
