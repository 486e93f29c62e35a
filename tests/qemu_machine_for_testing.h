// A PC booted from a raw disk image under qemu-system-i386 for tests of the
// boot programs: no network, no display; COM1 goes to a file, the VGA text
// screen is read through the monitor, keys are typed through it too. The
// machine is killed when the object goes; -no-reboot makes a reset end qemu.
#ifndef QUENSARIA_TESTS_QEMU_MACHINE_FOR_TESTING_H_
#define QUENSARIA_TESTS_QEMU_MACHINE_FOR_TESTING_H_

#include <chrono>
#include <memory>
#include <string>

#include "tests/program_for_testing.h"

namespace quensaria::testing {

class QemuMachine {
 public:
  static bool Available();  // qemu-system-i386 is installed

  // Files of the run (serial output, monitor socket, log) go to `work_dir`.
  QemuMachine(const std::string& disk, const std::string& work_dir);
  ~QemuMachine();
  QemuMachine(const QemuMachine&) = delete;
  QemuMachine& operator=(const QemuMachine&) = delete;

  // Starts the machine and connects to its monitor. False (with the reason
  // in `error`) if either fails.
  bool Start(std::string* error);

  std::string Serial() const;
  bool WaitForSerial(const std::string& text, std::chrono::seconds limit);
  // The 80x25 text screen, rows without trailing blanks, joined by '\n'.
  std::string Screen();
  bool WaitForScreen(const std::string& text, std::chrono::seconds limit);
  // Types a key by its monitor name ("ret", "spc", "a").
  bool SendKey(const std::string& key);
  bool Running();
  // Waits for qemu to end by itself.
  bool WaitForExit(std::chrono::seconds limit);

 private:
  bool Command(const std::string& line);
  bool ReadToPrompt(std::chrono::milliseconds limit);

  std::string disk_;
  std::string dir_;
  std::unique_ptr<Program> qemu_;
  int monitor_ = -1;
};

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_QEMU_MACHINE_FOR_TESTING_H_
