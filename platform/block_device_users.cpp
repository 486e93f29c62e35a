#include "platform/block_device_users.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace quensaria::platform {
namespace {

namespace fs = std::filesystem;

std::string FirstLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// "major:minor" as sysfs writes it.
bool ParseDevice(const std::string& text, dev_t* device) {
  unsigned major_number = 0;
  unsigned minor_number = 0;
  if (std::sscanf(text.c_str(), "%u:%u", &major_number, &minor_number) != 2) return false;
  *device = makedev(major_number, minor_number);
  return true;
}

}  // namespace

std::string BlockDeviceUse(const std::string& path) {
  const std::string name = fs::path(path).filename().string();
  const fs::path sys = fs::path("/sys/class/block") / name;
  std::error_code ec;
  // The disk and its partitions, as names and numbers.
  std::vector<std::string> names = {name};
  std::set<dev_t> numbers;
  dev_t number;
  if (ParseDevice(FirstLine(sys / "dev"), &number)) numbers.insert(number);
  for (fs::directory_iterator entry(sys, ec), end; !ec && entry != end; entry.increment(ec)) {
    const std::string child = entry->path().filename().string();
    std::error_code missing;
    if (child.rfind(name, 0) != 0 || !fs::exists(entry->path() / "partition", missing)) continue;
    names.push_back(child);
    if (ParseDevice(FirstLine(entry->path() / "dev"), &number)) numbers.insert(number);
  }

  for (const std::string& device : names) {
    const std::string node = "/dev/" + device;
    UniqueFd probe(::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    if (!probe.valid() && errno == EBUSY) {
      return node + " is mounted or held by another program";
    }
    fs::directory_iterator holders(sys.parent_path() / device / "holders", ec);
    if (!ec && holders != fs::directory_iterator()) {
      return node + " is held by " + holders->path().filename().string();
    }
  }
  ec.clear();
  for (fs::directory_iterator entry("/sys/block", ec), end; !ec && entry != end;
       entry.increment(ec)) {
    const std::string loop = entry->path().filename().string();
    if (loop.rfind("loop", 0) != 0) continue;
    const std::string backing = FirstLine(entry->path() / "loop" / "backing_file");
    for (const std::string& device : names) {
      if (backing == "/dev/" + device) return "/dev/" + loop + " is attached to /dev/" + device;
    }
  }
  const std::string self = std::to_string(::getpid());
  ec.clear();
  for (fs::directory_iterator process("/proc", ec), end; !ec && process != end;
       process.increment(ec)) {
    const std::string pid = process->path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    // A process may end while it is looked at.
    std::error_code gone;
    for (fs::directory_iterator fd(process->path() / "fd", gone), none; !gone && fd != none;
         fd.increment(gone)) {
      // Device nodes live in /dev; looking further could wait on a file
      // system that does not answer.
      char target[64];
      const ssize_t length = ::readlink(fd->path().c_str(), target, sizeof target - 1);
      if (length < 5 || std::string_view(target, 5) != "/dev/") continue;
      struct stat st;
      if (::stat(fd->path().c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
      if (numbers.count(st.st_rdev) != 0) {
        return path + " is open in process " + pid + " (" + FirstLine(process->path() / "comm") +
               ")";
      }
    }
  }
  return "";
}

}  // namespace quensaria::platform
