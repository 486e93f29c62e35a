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
#include "tests/program_run_for_testing.h"

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

ScratchDir::ScratchDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

ScratchDir::~ScratchDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::unique_ptr<Daemon> Daemon::Start(const std::vector<std::string>& args,
                                      const std::function<bool(const Daemon&)>& ready) {
  static int started = 0;  // one log per daemon
  std::unique_ptr<Daemon> d(new Daemon("/tmp/harness-daemon-" + std::to_string(::getpid()) + "-" +
                                       std::to_string(++started) + ".log"));
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, d->log_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return nullptr;
  d->pid_ = pid;
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {  // it gave up
      d->pid_ = -1;
      break;
    }
    if (ready(*d)) break;
    std::this_thread::sleep_for(10ms);
  }
  return d;
}

Daemon::~Daemon() {
  if (pid_ > 0) Stop();
  std::error_code ignored;
  fs::remove(log_, ignored);
}

int Daemon::Stop() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(10ms);
  }
  Kill();
  return -1;
}

void Daemon::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string Daemon::Log() const {
  std::ifstream in(log_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
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
  p->daemon_ = Daemon::Start(args, [](const Daemon& d) {
    return d.Log().find("velmoran: devices at") != std::string::npos;
  });
  if (!p->daemon_) return nullptr;
  return p;
}

VelmoranProcess::~VelmoranProcess() {
  if (daemon_) daemon_->Stop();
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
  return Shell(std::string(VELMORAN_CTL_PATH) + " --runtime-dir " + Quote(runtime_dir_) + " " +
               arguments);
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
