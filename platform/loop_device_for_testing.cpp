#include "platform/loop_device_for_testing.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>

#include "platform/errors.h"
#include "platform/eventually_for_testing.h"
#include "shared/win32_error.h"
#include "tests/program_for_testing.h"

namespace quensaria::platform {
namespace {

// Runs `command` through the shell; returns its standard output, or a
// failure when it exits with nonzero status.
Result<std::string> Run(const std::string& command) {
  testing::ProgramResult run = testing::RunProgram({"/bin/sh", "-c", command});
  if (run.exit_code != 0) return Status(ERROR_GEN_FAILURE, "command failed: " + command);
  std::string& out = run.out;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

bool WaitForPath(const std::string& path) {
  return testing::Eventually([&] { return ::access(path.c_str(), F_OK) == 0; },
                             std::chrono::seconds(2), std::chrono::milliseconds(10));
}

}  // namespace

std::string LoopDisk::UnavailableReason() {
  if (::geteuid() != 0) return "loop devices need root";
  if (::access("/dev/loop-control", F_OK) != 0) return "no /dev/loop-control";
  if (!Run("command -v losetup && command -v sfdisk && command -v partx").ok()) {
    return "losetup, sfdisk or partx missing";
  }
  return "";
}

Result<std::unique_ptr<LoopDisk>> LoopDisk::Create(uint64_t size,
                                                   const std::string& sfdisk_script) {
  std::unique_ptr<LoopDisk> disk(new LoopDisk);
  disk->image_ = disk->scratch_.File("loop.img");
  const int fd = ::open(disk->image_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return ErrnoStatus("open " + disk->image_, errno);
  const bool sized = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
  ::close(fd);
  if (!sized) return ErrnoStatus("ftruncate", errno);
  if (!sfdisk_script.empty()) {
    if (!Run("printf '%s' '" + sfdisk_script + "' | sfdisk -q '" + disk->image_ + "'").ok()) {
      return Status(ERROR_GEN_FAILURE, "sfdisk failed");
    }
  }
  Result<std::string> device = Run("losetup -f --show '" + disk->image_ + "'");
  if (!device.ok()) return device.status();
  disk->device_ = *device;
  if (!sfdisk_script.empty()) {
    if (!Run("partx -a '" + disk->device_ + "'").ok()) {
      return Status(ERROR_GEN_FAILURE, "partx -a failed");
    }
    disk->partitioned_ = true;
    if (!WaitForPath(disk->partition(1))) {
      return Status(ERROR_FILE_NOT_FOUND, "no " + disk->partition(1));
    }
  }
  return disk;
}

LoopDisk::~LoopDisk() {
  if (partitioned_) (void)Run("partx -d '" + device_ + "'");
  if (!device_.empty()) (void)Run("losetup -d '" + device_ + "'");
}

}  // namespace quensaria::platform
