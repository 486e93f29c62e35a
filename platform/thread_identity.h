// The identity of a caller (user, primary group, supplementary groups) and a
// scope that lends it to the calling thread alone for file-system access, so
// that a daemon running as root opens files with the rights of the user who
// asked. Only the thread's file-system ids and its group list change
// (setfsuid, setfsgid and the raw setgroups system call; glibc's setgroups
// would change every thread of the process). Needs CAP_SETUID/CAP_SETGID;
// without them the scope changes nothing and says so.
#ifndef QUENSARIA_PLATFORM_THREAD_IDENTITY_H_
#define QUENSARIA_PLATFORM_THREAD_IDENTITY_H_

#include <cstdint>
#include <vector>

namespace quensaria::platform {

struct CallerIdentity {
  uint32_t uid = 0;
  uint32_t gid = 0;
  std::vector<uint32_t> groups;
};

// The calling thread's own file-system identity.
CallerIdentity ThreadIdentity();

// The id of group `name`, or `fallback` when the system has no such group.
uint32_t GroupId(const char* name, uint32_t fallback);

class ScopedIdentity {
 public:
  explicit ScopedIdentity(const CallerIdentity& identity);
  ~ScopedIdentity();
  ScopedIdentity(const ScopedIdentity&) = delete;
  ScopedIdentity& operator=(const ScopedIdentity&) = delete;

  // Whether the thread now acts as the identity given.
  bool applied() const { return applied_; }

 private:
  CallerIdentity saved_;
  bool applied_ = false;
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_THREAD_IDENTITY_H_
