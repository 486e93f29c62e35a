#include "platform/thread_identity.h"

#include <grp.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <vector>

namespace quensaria::platform {
namespace {

constexpr size_t kMaxGroupEntryBytes = 16 << 20;

// setfsuid/setfsgid report the previous id and never fail visibly; asking
// with an invalid id (-1) reads the current one back.
uid_t CurrentFsuid() { return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))); }
gid_t CurrentFsgid() { return static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))); }

std::vector<uint32_t> ThreadGroups() {
  const long count = ::syscall(SYS_getgroups, 0, nullptr);
  if (count <= 0) return {};
  std::vector<gid_t> groups(static_cast<size_t>(count));
  const long got = ::syscall(SYS_getgroups, count, groups.data());
  if (got < 0) return {};
  groups.resize(static_cast<size_t>(got));
  return {groups.begin(), groups.end()};
}

bool SetThreadGroups(const std::vector<uint32_t>& groups) {
  std::vector<gid_t> list(groups.begin(), groups.end());
  return ::syscall(SYS_setgroups, list.size(), list.data()) == 0;
}

}  // namespace

CallerIdentity ThreadIdentity() {
  return CallerIdentity{CurrentFsuid(), CurrentFsgid(), ThreadGroups()};
}

uint32_t GroupId(const char* name, uint32_t fallback) {
  // The entry holds the members' names: a large group needs more room than
  // a first guess, and is no missing group.
  std::vector<char> buffer(4096);
  for (;;) {
    group entry{};
    group* found = nullptr;
    const int error = ::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < kMaxGroupEntryBytes) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return fallback;
    return found->gr_gid;
  }
}

ScopedIdentity::ScopedIdentity(const CallerIdentity& identity) : saved_(ThreadIdentity()) {
  // Groups and group first: once the fs uid is no longer root, the thread may
  // lack the right to change them.
  if (!SetThreadGroups(identity.groups)) return;
  ::setfsgid(identity.gid);
  ::setfsuid(identity.uid);
  applied_ = CurrentFsuid() == identity.uid && CurrentFsgid() == identity.gid;
  if (!applied_) {
    ::setfsuid(saved_.uid);
    ::setfsgid(saved_.gid);
    SetThreadGroups(saved_.groups);
  }
}

ScopedIdentity::~ScopedIdentity() {
  if (!applied_) return;
  ::setfsuid(saved_.uid);
  ::setfsgid(saved_.gid);
  SetThreadGroups(saved_.groups);
}

}  // namespace quensaria::platform
