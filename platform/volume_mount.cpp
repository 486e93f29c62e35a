#include "platform/volume_mount.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/errors.h"
#include "platform/mount_table.h"
#include "platform/unique_fd.h"
#include "shared/bytes.h"

namespace quensaria::platform {
namespace {

constexpr size_t kProbeChunk = 64 * 1024;
constexpr uint64_t kProbeHead = 2 * 1024 * 1024;  // superblocks lie near the start
constexpr uint64_t kProbeTail = 128 * 1024;       // and a few near the end

// blkid's file-system type at `offset`/`size` of the open file, or empty.
std::string ProbeAt(int fd, uint64_t offset, uint64_t size) {
  blkid_probe probe = blkid_new_probe();
  if (probe == nullptr) return "";
  std::string type;
  if (blkid_probe_set_device(probe, fd, static_cast<blkid_loff_t>(offset),
                             static_cast<blkid_loff_t>(size)) == 0) {
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE);
    const char* value = nullptr;
    if (blkid_do_safeprobe(probe) == 0 &&
        blkid_probe_lookup_value(probe, "TYPE", &value, nullptr) == 0 && value != nullptr) {
      type = value;
    }
  }
  blkid_free_probe(probe);
  return type;
}

}  // namespace

std::optional<VolumeLocation> ProbeVolume(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return std::nullopt;
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (S_ISBLK(st.st_mode) && ::ioctl(fd.get(), BLKGETSIZE64, &size) != 0) return std::nullopt;
  if (size < 512) return std::nullopt;
  // A device file takes whole sectors only, which blkid does not read: the
  // probe runs on a sparse copy of the regions where signatures lie.
  UniqueFd copy(static_cast<int>(::syscall(SYS_memfd_create, "velmoran-probe", MFD_CLOEXEC)));
  if (!copy.valid() || ::ftruncate(copy.get(), static_cast<off_t>(size)) != 0) return std::nullopt;
  const auto copy_range = [&](uint64_t from, uint64_t length) {
    std::vector<uint8_t> buffer(kProbeChunk);
    from &= ~uint64_t{511};
    const uint64_t end = std::min(size, from + length);
    for (uint64_t at = from; at < end;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kProbeChunk, end - at));
      const ssize_t got = ::pread(fd.get(), buffer.data(), n, static_cast<off_t>(at));
      if (got <= 0) return false;
      if (::pwrite(copy.get(), buffer.data(), static_cast<size_t>(got), static_cast<off_t>(at)) !=
          got) {
        return false;
      }
      at += static_cast<uint64_t>(got);
    }
    return true;
  };
  const auto copy_area = [&](uint64_t offset, uint64_t length) {
    return copy_range(offset, std::min<uint64_t>(length, kProbeHead)) &&
           copy_range(offset + length - std::min<uint64_t>(length, kProbeTail),
                      std::min<uint64_t>(length, kProbeTail));
  };
  if (!copy_area(0, size)) return std::nullopt;
  std::string type = ProbeAt(copy.get(), 0, 0);
  if (!type.empty()) return VolumeLocation{0, 0, type};
  uint8_t sector[512];
  if (::pread(copy.get(), sector, sizeof sector, 0) != static_cast<ssize_t>(sizeof sector)) {
    return std::nullopt;
  }
  if (sector[510] != 0x55 || sector[511] != 0xAA) return std::nullopt;
  for (int i = 0; i < 4; ++i) {
    const uint8_t* entry = sector + 446 + 16 * i;
    const uint64_t offset = uint64_t{LoadLe32(entry + 8)} * 512;
    uint64_t length = uint64_t{LoadLe32(entry + 12)} * 512;
    if (entry[4] == 0 || offset == 0 || length == 0 || offset >= size) continue;
    length = std::min(length, size - offset);
    if (!copy_area(offset, length)) return std::nullopt;
    type = ProbeAt(copy.get(), offset, length);
    if (type.empty()) return std::nullopt;
    return VolumeLocation{offset, length, type};
  }
  return std::nullopt;
}

bool HasSysAdminCapability() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return ::geteuid() == 0;
  return (data[CAP_SYS_ADMIN / 32].effective & (1u << (CAP_SYS_ADMIN % 32))) != 0;
}

Status MountFileSystem(const std::string& device, const std::string& directory,
                       const std::string& type, bool read_only) {
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) return ErrnoStatus("mkdir " + directory, ec.value());
  const unsigned long flags = MS_NOSUID | MS_NODEV | (read_only ? MS_RDONLY : 0);
  if (::mount(device.c_str(), directory.c_str(), type.c_str(), flags, nullptr) != 0) {
    const int error = errno;
    ::rmdir(directory.c_str());
    return ErrnoStatus("mount " + device + " on " + directory, error);
  }
  return Status::Ok();
}

Status UnmountFileSystem(const std::string& directory) {
  if (::umount2(directory.c_str(), 0) != 0) return ErrnoStatus("umount " + directory, errno);
  ::rmdir(directory.c_str());
  return Status::Ok();
}

std::string MountPointOf(dev_t device) {
  const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  for (const MountEntry& entry : ReadMountTable()) {
    if (entry.device_numbers == wanted && entry.root == "/") return entry.mount_point;
  }
  return "";
}

bool IsMountPoint(const std::string& directory) {
  for (const MountEntry& entry : ReadMountTable()) {
    if (entry.mount_point == directory) return true;
  }
  return false;
}

}  // namespace quensaria::platform
