#include "platform/password_input.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <iterator>

#include "platform/errors.h"
#include "platform/unique_fd.h"
#include "shared/win32_error.h"

namespace quensaria::platform {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The terminal whose echo is off while a password is asked for, and its
// modes from before, for the stop signals' handler.
volatile sig_atomic_t g_quiet_terminal = -1;
termios g_saved_modes;

// A stop signal while the echo is off: the terminal comes back as it was
// before the signal does what it would have done.
void RestoreAndRaise(int signal_number) {
  const int terminal = g_quiet_terminal;
  if (terminal >= 0) ::tcsetattr(terminal, TCSANOW, &g_saved_modes);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

Status WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus("write to the terminal", errno);
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return Status::Ok();
}

// One line of `fd`, read a byte at a time so that nothing after its end is
// taken; `newline` tells whether a line end (rather than the end of the
// input) ended it.
Result<std::string> ReadLine(int fd, const std::string& name, bool* newline) {
  // Room for the longest line up front: a growing string would free its
  // smaller buffers, each holding a piece of the password, unwiped.
  std::string line;
  line.reserve(kMaxPasswordBytes + 1);
  // A line given up on goes wiped.
  auto dropped = [&line](Status status) {
    explicit_bzero(line.data(), line.size());
    return status;
  };
  *newline = false;
  for (;;) {
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return dropped(ErrnoStatus("read " + name, errno));
    }
    if (n == 0) break;
    if (c == '\n') {
      *newline = true;
      break;
    }
    // One byte more is room for the carriage return of a CRLF line end,
    // removed below.
    if (line.size() > kMaxPasswordBytes || (line.size() == kMaxPasswordBytes && c != '\r')) {
      return dropped(Status(ERROR_INVALID_DATA, name + ": a password of more than " +
                                                    std::to_string(kMaxPasswordBytes) + " bytes"));
    }
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Standard input's own terminal, for reading and writing; -1 when it cannot
// be opened again (then standard input itself is used).
UniqueFd OpenStandardInputTerminal() {
  char name[PATH_MAX];
  if (::ttyname_r(STDIN_FILENO, name, sizeof name) != 0) return UniqueFd();
  return UniqueFd(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
}

}  // namespace

bool AsksOnTerminal(const std::string& file) {
  return file == kStandardInputName && ::isatty(STDIN_FILENO) == 1;
}

Result<std::string> ReadPassword(const std::string& file, std::string_view prompt) {
  bool newline = false;
  if (file == kStandardInputName) {
    if (AsksOnTerminal(file)) {
      UniqueFd terminal = OpenStandardInputTerminal();
      return AskPassword(terminal ? terminal.get() : STDIN_FILENO, prompt);
    }
    return ReadLine(STDIN_FILENO, "standard input", &newline);
  }
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return ErrnoStatus("open " + file, errno);
  return ReadLine(fd.get(), file, &newline);
}

Result<std::string> AskPassword(int terminal, std::string_view prompt) {
  termios modes;
  if (::tcgetattr(terminal, &modes) != 0) return ErrnoStatus("not a terminal", errno);
  termios quiet = modes;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);

  g_saved_modes = modes;
  g_quiet_terminal = terminal;
  struct sigaction restore = {};
  restore.sa_handler = RestoreAndRaise;
  sigemptyset(&restore.sa_mask);
  struct sigaction previous[std::size(kStopSignals)];
  for (size_t i = 0; i < std::size(kStopSignals); ++i) {
    ::sigaction(kStopSignals[i], &restore, &previous[i]);
  }
  // Suspended with the echo off, the shell would get a silent terminal.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction previous_stop;
  ::sigaction(SIGTSTP, &ignore, &previous_stop);

  Result<std::string> line = Status(ERROR_OPERATION_ABORTED, "no password typed");
  bool newline = false;
  if (::tcsetattr(terminal, TCSAFLUSH, &quiet) != 0) {
    line = ErrnoStatus("turning the terminal's echo off", errno);
  } else {
    Status prompted = WriteAll(terminal, prompt);
    if (prompted.ok()) {
      line = ReadLine(terminal, "the terminal", &newline);
    } else {
      line = prompted;
    }
    // The line end the user typed was not echoed either.
    (void)WriteAll(terminal, "\n");
    ::tcsetattr(terminal, TCSADRAIN, &modes);
  }

  g_quiet_terminal = -1;
  ::sigaction(SIGTSTP, &previous_stop, nullptr);
  for (size_t i = 0; i < std::size(kStopSignals); ++i) {
    ::sigaction(kStopSignals[i], &previous[i], nullptr);
  }
  if (line.ok() && !newline) {
    // What was typed before the end of input goes wiped.
    explicit_bzero(line.value().data(), line.value().size());
    return Status(ERROR_OPERATION_ABORTED, "no password typed");
  }
  return line;
}

}  // namespace quensaria::platform
