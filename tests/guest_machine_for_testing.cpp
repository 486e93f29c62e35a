#include "tests/guest_machine_for_testing.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/scratch_dir_for_testing.h"
#include "tests/program_for_testing.h"

namespace quensaria::testing {
namespace {

namespace fs = std::filesystem;

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::string GuestMissing() {
  if (::access("/dev/kvm", R_OK | W_OK) != 0) return "the test guest needs /dev/kvm";
  if (!ProgramExists("qemu-system-x86_64")) return "the test guest needs qemu-system-x86_64";
  return "";
}

bool GuestRequired() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && *ci != '\0';
}

bool InGuest() {
  const char* guest = std::getenv("QUENSARIA_GUEST");
  return guest != nullptr && std::string(guest) == "1";
}

GuestResult RunInGuest(const std::vector<std::string>& command, const GuestOptions& options) {
  GuestResult result;
  const ScratchDir scratch_dir;
  const fs::path& scratch = scratch_dir.path();
  std::vector<std::string> argv = {std::string(QUENSARIA_SOURCE_DIR) + "/scripts/guest",
                                   "--kernel",
                                   QUENSARIA_TEST_KERNEL_DIR,
                                   "--scratch",
                                   scratch.string(),
                                   "--memory",
                                   std::to_string(options.memory_mib),
                                   "--timeout",
                                   std::to_string(options.limit.count())};
  for (const std::string& setting : options.environment) {
    argv.push_back("--env");
    argv.push_back(setting);
  }
  argv.push_back("--");
  argv.insert(argv.end(), command.begin(), command.end());
  // scripts/guest kills the guest at the limit; this bound only catches a
  // script that hangs itself.
  const ProgramResult run = RunProgram(argv, options.limit + std::chrono::seconds(60));
  result.status = run.timed_out ? 124 : run.exit_code;
  result.output = ReadWhole(scratch / ".guest" / "output");
  result.console = run.out + run.err;
  return result;
}

}  // namespace quensaria::testing
