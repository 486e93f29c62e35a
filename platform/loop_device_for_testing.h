// LoopDisk (tests only): a real block device over a temporary image file,
// made with losetup, optionally with a partition table written by sfdisk and
// its partition devices added by partx (the kernel here does not scan by
// itself). Everything is detached and removed on destruction. Needs root
// and /dev/loop-control; UnavailableReason says why a test must skip.
#ifndef QUENSARIA_PLATFORM_LOOP_DEVICE_FOR_TESTING_H_
#define QUENSARIA_PLATFORM_LOOP_DEVICE_FOR_TESTING_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/scratch_dir_for_testing.h"
#include "shared/status.h"

namespace quensaria::platform {

class LoopDisk {
 public:
  // An image of `size` bytes; `sfdisk_script` (may be empty) is fed to
  // sfdisk before attaching.
  static Result<std::unique_ptr<LoopDisk>> Create(uint64_t size, const std::string& sfdisk_script);
  ~LoopDisk();
  LoopDisk(const LoopDisk&) = delete;
  LoopDisk& operator=(const LoopDisk&) = delete;

  // Empty when loop devices can be made here.
  static std::string UnavailableReason();

  const std::string& image() const { return image_; }
  const std::string& device() const { return device_; }  // /dev/loopN
  // /dev/loopNpK, which exists once Create returns.
  std::string partition(int number) const { return device_ + "p" + std::to_string(number); }

 private:
  LoopDisk() = default;
  testing::ScratchDir scratch_;  // holds the image; removed after the device
  std::string image_;
  std::string device_;
  bool partitioned_ = false;
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_LOOP_DEVICE_FOR_TESTING_H_
