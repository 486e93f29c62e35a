#include "tests/qemu_machine_for_testing.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/eventually_for_testing.h"
#include "platform/unique_fd.h"
#include "tests/program_for_testing.h"

namespace quensaria::testing {
namespace {

constexpr char kQemu[] = "qemu-system-i386";
constexpr auto kPoll = std::chrono::milliseconds(100);

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

bool QemuMachine::Available() { return ProgramExists(kQemu); }

QemuMachine::QemuMachine(const std::string& disk, const std::string& work_dir)
    : disk_(disk), dir_(work_dir) {}

QemuMachine::~QemuMachine() {
  if (monitor_ >= 0) close(monitor_);
  if (qemu_) qemu_->Kill();
}

bool QemuMachine::Start(std::string* error) {
  const std::string qemu = FindProgram(kQemu);
  if (qemu.empty()) {
    *error = std::string("cannot find ") + kQemu;
    return false;
  }
  std::string socket_path = dir_ + "/monitor.sock";
  const std::vector<std::string> argv = {
      // Plain emulation: real-mode BIOS code runs far faster under it than
      // under nested KVM, and it is there on every machine.
      qemu,       "-accel",
      "tcg",      "-m",
      "32",       "-display",
      "none",     "-no-reboot",
      "-nic",     "none",
      "-serial",  "file:" + dir_ + "/serial.txt",
      "-monitor", "unix:" + socket_path + ",server=on,wait=off",
      "-drive",   "file=" + disk_ + ",format=raw,if=ide,index=0",
      "-boot",    "c"};
  const std::string log = dir_ + "/qemu.log";
  qemu_ = std::make_unique<Program>(argv, log);
  if (!qemu_->started()) {
    *error = "cannot run " + qemu;
    return false;
  }
  // The monitor socket appears once qemu has set the machine up.
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  bool ended = false;
  const bool connected = Eventually(
      [&] {
        if (!Running()) {
          ended = true;
          return true;
        }
        platform::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
          return false;
        }
        monitor_ = fd.Release();
        return true;
      },
      std::chrono::seconds(30), kPoll);
  if (ended) {
    *error = "qemu ended at once: " + ReadWhole(log);
    return false;
  }
  if (!connected) {
    *error = "the monitor socket never appeared";
    return false;
  }
  if (ReadToPrompt(std::chrono::seconds(10))) return true;
  *error = "no monitor prompt";
  return false;
}

bool QemuMachine::ReadToPrompt(std::chrono::milliseconds limit) {
  std::string seen;
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (seen.find("(qemu) ") == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{monitor_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[1024];
    ssize_t n = read(monitor_, buffer, sizeof buffer);
    if (n <= 0) return false;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

bool QemuMachine::Command(const std::string& line) {
  if (monitor_ < 0) return false;
  std::string text = line + "\n";
  if (write(monitor_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return false;
  return ReadToPrompt(std::chrono::seconds(10));
}

std::string QemuMachine::Serial() const { return ReadWhole(dir_ + "/serial.txt"); }

bool QemuMachine::WaitForSerial(const std::string& text, std::chrono::seconds limit) {
  return Eventually([&] { return Serial().find(text) != std::string::npos; }, limit, kPoll);
}

std::string QemuMachine::Screen() {
  std::string dump = dir_ + "/screen.bin";
  unlink(dump.c_str());
  if (!Command("pmemsave 0xb8000 4000 \"" + dump + "\"")) return "";
  std::string cells = ReadWhole(dump);  // character and attribute per cell
  std::string screen;
  for (size_t row = 0; row * 160 + 160 <= cells.size(); ++row) {
    std::string line;
    for (size_t column = 0; column < 80; ++column) line += cells[row * 160 + column * 2];
    line.erase(line.find_last_not_of(std::string(" \0", 2)) + 1);
    screen += line + "\n";
  }
  return screen;
}

bool QemuMachine::WaitForScreen(const std::string& text, std::chrono::seconds limit) {
  return Eventually([&] { return Screen().find(text) != std::string::npos; }, limit, kPoll);
}

bool QemuMachine::SendKey(const std::string& key) { return Command("sendkey " + key); }

bool QemuMachine::Running() { return qemu_ && !qemu_->Ended(); }

bool QemuMachine::WaitForExit(std::chrono::seconds limit) {
  return Eventually([&] { return !Running(); }, limit, kPoll);
}

}  // namespace quensaria::testing
