#include "platform/loop_device.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/errors.h"
#include "platform/unique_fd.h"
#include "shared/win32_error.h"

namespace quensaria::platform {

Result<std::string> AttachLoopDevice(int backing_fd, uint64_t offset, uint64_t size_limit,
                                     bool read_only) {
  UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  if (!control.valid()) return ErrnoStatus("/dev/loop-control", errno);
  // Another process may take the free device between the two calls: retry.
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int number = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
    if (number < 0) return ErrnoStatus("LOOP_CTL_GET_FREE", errno);
    const std::string device = "/dev/loop" + std::to_string(number);
    UniqueFd loop(::open(device.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    if (!loop.valid()) return ErrnoStatus(device, errno);
    loop_config config;
    std::memset(&config, 0, sizeof config);
    config.fd = static_cast<uint32_t>(backing_fd);
    config.block_size = 512;
    config.info.lo_offset = offset;
    config.info.lo_sizelimit = size_limit;
    config.info.lo_flags = LO_FLAGS_DIRECT_IO | (read_only ? LO_FLAGS_READ_ONLY : 0);
    if (::ioctl(loop.get(), LOOP_CONFIGURE, &config) == 0) return device;
    if (errno != EBUSY) return ErrnoStatus("LOOP_CONFIGURE " + device, errno);
  }
  return Status(ERROR_BUSY, "no free loop device");
}

Status DetachLoopDevice(const std::string& device) {
  UniqueFd loop(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
  if (!loop.valid()) return ErrnoStatus(device, errno);
  if (::ioctl(loop.get(), LOOP_CLR_FD, 0) != 0) return ErrnoStatus("LOOP_CLR_FD " + device, errno);
  return Status::Ok();
}

std::vector<std::string> LoopDevicesBackedBy(const std::string& file) {
  std::vector<std::string> devices;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/block", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("loop", 0) != 0) continue;
    std::ifstream in(entry.path() / "loop" / "backing_file");
    std::string backing;
    if (in && std::getline(in, backing) && backing == file) devices.push_back("/dev/" + name);
  }
  return devices;
}

}  // namespace quensaria::platform
