#include "tests/velmoran_harness_for_testing.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/fuse_files.h"
#include "shared/driver_layout.h"
#include "tests/program_for_testing.h"

extern char** environ;

namespace quensaria::harness {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

}  // namespace

CommandResult Shell(const std::string& command) {
  const testing::ProgramResult run = testing::RunProgram({"/bin/sh", "-c", command});
  return {run.exit_code, run.out + run.err};
}

bool VelmoranIsBuilt() { return ::access(VELMORAN_PATH, X_OK) == 0; }

std::string MissingForDriver(bool loop) {
  if (::geteuid() != 0) return "needs root (FUSE mounts, loop devices)";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) return "needs /dev/fuse";
  if (loop) {
    if (Shell("command -v losetup && command -v mkfs.ext4 && command -v e2fsck").code != 0) {
      return "needs losetup, mkfs.ext4 and e2fsck";
    }
    if (Shell("losetup --find").code != 0) return "needs a free loop device";
  }
  return {};
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string FaultsIn(const std::string& log) {
  for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                           "WARNING: ThreadSanitizer", "runtime error:"}) {
    const size_t at = log.find(mark);
    if (at != std::string::npos) return log.substr(at, 2000);
  }
  return {};
}

std::unique_ptr<VelmoranProcess> VelmoranProcess::Start(const std::string& runtime_dir,
                                                        const std::vector<std::string>& extra,
                                                        const std::vector<std::string>& prefix) {
  std::unique_ptr<VelmoranProcess> p(new VelmoranProcess(runtime_dir));
  std::vector<std::string> args = prefix;
  args.insert(args.end(), {VELMORAN_PATH, "--runtime-dir", runtime_dir});
  args.insert(args.end(), extra.begin(), extra.end());
  // It says so once its devices are served (another driver's mount, or a
  // dead one, may be there before).
  p->program_ = Program::Start(args, [](const Program& d) {
    return d.Log().find("velmoran: devices at") != std::string::npos;
  });
  if (!p->program_) return nullptr;
  return p;
}

VelmoranProcess::~VelmoranProcess() {
  if (program_) program_->Stop();
  // A daemon that was killed leaves its mount behind, dead. (A live mount
  // here belongs to a daemon started since.)
  const std::string device_dir = DeviceDir(runtime_dir_);
  struct stat st {};
  if (::stat(device_dir.c_str(), &st) != 0 && errno == ENOTCONN) {
    (void)platform::FuseFileSystem::ClearStaleMount(device_dir);
  }
}

std::string VelmoranProcess::DevicePath(const std::string& name) const {
  return DeviceFilePath(runtime_dir_, name);
}

std::string VelmoranProcess::LinkPath(char letter) const {
  return GlobalDriveLinksDir(runtime_dir_) + "/" + DriveLinkName(letter);
}

CommandResult VelmoranProcess::Ctl(const std::string& arguments) const {
  return Shell(CtlCommand(arguments));
}

std::string VelmoranProcess::CtlCommand(const std::string& arguments) const {
  return std::string(VELMORAN_CTL_PATH) + " --runtime-dir " + Quote(runtime_dir_) + " " + arguments;
}

void Attachments::UndoAll() {
  for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) Shell("umount -l " + Quote(*it));
  for (auto it = loops_.rbegin(); it != loops_.rend(); ++it) Shell("losetup -d " + Quote(*it));
  mounts_.clear();
  loops_.clear();
}

std::string Attachments::Loop(const std::string& file, const std::string& options) {
  CommandResult r = Shell("losetup --find --show " + options + " " + Quote(file));
  if (r.code != 0) return {};
  std::string device = r.output.substr(0, r.output.find('\n'));
  loops_.push_back(device);
  return device;
}

bool Attachments::Mount(const std::string& device, const std::string& directory) {
  fs::create_directories(directory);
  if (Shell("mount " + Quote(device) + " " + Quote(directory)).code != 0) return false;
  mounts_.push_back(directory);
  return true;
}

bool Attachments::Unmount(const std::string& directory) {
  if (Shell("umount " + Quote(directory)).code != 0) return false;
  mounts_.erase(std::remove(mounts_.begin(), mounts_.end(), directory), mounts_.end());
  return true;
}

bool Attachments::Detach(const std::string& device) {
  if (Shell("losetup -d " + Quote(device)).code != 0) return false;
  loops_.erase(std::remove(loops_.begin(), loops_.end(), device), loops_.end());
  return true;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

}  // namespace quensaria::harness
