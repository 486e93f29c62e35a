// For tests of group look-ups: runs a check in a child process that sees
// the system's /etc/group with more entries after it, bind-mounted over
// the real one in a mount namespace of its own (the machine's file is not
// touched). Needs root. Tests only.
#ifndef QUENSARIA_PLATFORM_GROUP_FILE_FOR_TESTING_H_
#define QUENSARIA_PLATFORM_GROUP_FILE_FOR_TESTING_H_

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace quensaria::platform {

inline constexpr int kNoGroupFileForTesting = 125;

// One /etc/group line: group `name` of id `id` with `members` members.
inline std::string GroupEntryForTesting(const std::string& name, uint32_t id, int members) {
  std::string line = name + ":x:" + std::to_string(id) + ":";
  for (int i = 0; i < members; ++i) line += (i ? ",member" : "member") + std::to_string(i);
  return line + "\n";
}

// The exit status of `check` (0..124), run in the child with `entries`
// added; kNoGroupFileForTesting when the file could not be put in place,
// -1 when the child did not exit.
inline int WithGroupEntriesForTesting(const std::string& scratch_file, const std::string& entries,
                                      const std::function<int()>& check) {
  std::ifstream system_groups("/etc/group");
  std::string groups{std::istreambuf_iterator<char>(system_groups),
                     std::istreambuf_iterator<char>()};
  if (!groups.empty() && groups.back() != '\n') groups += '\n';
  std::ofstream(scratch_file) << groups << entries;
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(scratch_file.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0) {
      ::_exit(kNoGroupFileForTesting);
    }
    ::_exit(check());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_GROUP_FILE_FOR_TESTING_H_
