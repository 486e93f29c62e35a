// The test guest for tests that need a full kernel (ublk, the kernel's nbd
// client, vfat, partition scanning): Debian's 6.12 kernel under qemu with
// this machine's root shared read-only (scripts/guest, which README
// describes). A command runs there as root with the same paths as here, so
// a test binary can run its own guest-side cases inside; what it prints and
// its exit status come back.
#ifndef QUENSARIA_TESTS_GUEST_MACHINE_FOR_TESTING_H_
#define QUENSARIA_TESTS_GUEST_MACHINE_FOR_TESTING_H_

#include <chrono>
#include <string>
#include <vector>

namespace quensaria::testing {

struct GuestOptions {
  int memory_mib = 1024;
  std::chrono::seconds limit{600};
  std::vector<std::string> environment;  // "NAME=value", set in the guest
};

struct GuestResult {
  int status = -1;      // the command's exit status; 124 timed out, 125 never ran
  std::string output;   // the command's output, both streams
  std::string console;  // the guest's console and scripts/guest's messages
};

// Why the guest cannot run on this machine (no /dev/kvm, no qemu), or empty.
std::string GuestMissing();
// Under CI (CI set and not empty) a missing guest fails a test instead of
// skipping it.
bool GuestRequired();

// Boots the guest, runs `command` (a program and its arguments) in the
// current directory and powers off.
GuestResult RunInGuest(const std::vector<std::string>& command, const GuestOptions& options = {});

// True when this process runs inside the test guest.
bool InGuest();

}  // namespace quensaria::testing

// In a test: skips with the reason where the guest cannot run, fails under CI.
#define QUENSARIA_REQUIRE_GUEST()                                                     \
  do {                                                                                \
    const std::string missing_ = ::quensaria::testing::GuestMissing();                \
    if (!missing_.empty()) {                                                          \
      if (::quensaria::testing::GuestRequired()) FAIL() << missing_ << " (under CI)"; \
      GTEST_SKIP() << missing_;                                                       \
    }                                                                                 \
  } while (false)

#endif  // QUENSARIA_TESTS_GUEST_MACHINE_FOR_TESTING_H_
