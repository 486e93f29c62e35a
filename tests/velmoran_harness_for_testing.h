// Helpers for tests that run the real velmoran: start and stop the daemon,
// run shell tools (losetup, mkfs.ext4, mount, e2fsck, debugfs), and undo
// whatever a test attached or mounted even when it fails half way.
#ifndef QUENSARIA_TESTS_VELMORAN_HARNESS_FOR_TESTING_H_
#define QUENSARIA_TESTS_VELMORAN_HARNESS_FOR_TESTING_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/scratch_dir_for_testing.h"
#include "tests/program_for_testing.h"

namespace quensaria::harness {

struct CommandResult {
  int code = -1;       // exit status, or -1 when the command did not end normally
  std::string output;  // standard output, then standard error
};

// Runs `command` with /bin/sh (killed if it runs longer than two minutes).
CommandResult Shell(const std::string& command);

// Why a test of the driver cannot run here, or empty: root, /dev/fuse, and
// with `loop` also losetup and a free loop device.
std::string MissingForDriver(bool loop);
// velmoran is part of every build: its absence is a failure, never a reason
// to skip.
bool VelmoranIsBuilt();

// The tests' own scratch folders and background programs.
using testing::Program;
using testing::ScratchDir;

// What a sanitizer or the daemon itself reported as a fault in `log`, or
// empty: a program under test must end cleanly.
std::string FaultsIn(const std::string& log);

// The velmoran daemon, started on a runtime directory of the test's own.
class VelmoranProcess {
 public:
  // Starts it and waits until its device files are served. Its command
  // line follows `prefix` (a program that runs it in a namespace, say).
  static std::unique_ptr<VelmoranProcess> Start(const std::string& runtime_dir,
                                                const std::vector<std::string>& extra_args = {},
                                                const std::vector<std::string>& prefix = {});
  // Stops it if it still runs, and clears a mount it left behind dead.
  ~VelmoranProcess();

  int Stop() { return program_->Stop(); }
  void Signal(int signal) const { program_->Signal(signal); }
  // As Program::Wait.
  std::optional<int> Wait(std::chrono::milliseconds timeout) { return program_->Wait(timeout); }
  void Kill() { program_->Kill(); }
  bool running() const { return program_->running(); }
  pid_t pid() const { return program_->pid(); }
  std::string Log() const { return program_->Log(); }

  std::string DevicePath(const std::string& name) const;
  std::string LinkPath(char letter) const;
  const std::string& runtime_dir() const { return runtime_dir_; }
  // Runs velmoran-ctl on this daemon's runtime directory.
  CommandResult Ctl(const std::string& arguments) const;
  // The shell command Ctl runs, for a caller that runs it otherwise (under
  // a limit, say).
  std::string CtlCommand(const std::string& arguments) const;

 private:
  explicit VelmoranProcess(std::string runtime_dir) : runtime_dir_(std::move(runtime_dir)) {}
  std::string runtime_dir_;
  std::unique_ptr<Program> program_;
};

// Quotes `text` for /bin/sh.
std::string Quote(const std::string& text);

// Loop devices and mounts made by a test, undone in reverse order when it
// ends, passed or failed.
class Attachments {
 public:
  ~Attachments() { UndoAll(); }
  // Unmounts and detaches everything still attached, newest first.
  void UndoAll();
  // losetup on `file` with `options` (--direct-io=on, say); the device, or
  // empty on failure.
  std::string Loop(const std::string& file, const std::string& options = "");
  bool Mount(const std::string& device, const std::string& directory);
  bool Unmount(const std::string& directory);
  bool Detach(const std::string& device);

 private:
  std::vector<std::string> loops_;
  std::vector<std::string> mounts_;
};

// Whole-file helpers.
std::vector<uint8_t> ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::vector<uint8_t>& data);

}  // namespace quensaria::harness

#endif  // QUENSARIA_TESTS_VELMORAN_HARNESS_FOR_TESTING_H_
