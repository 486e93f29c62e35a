// For tests of writers that must not lose a line to a signal: standard
// output or error is made a full pipe, so the writer's write() waits, and
// SIGUSR1 (without SA_RESTART) interrupts it there. Tests only.
#ifndef QUENSARIA_PLATFORM_INTERRUPTED_WRITE_FOR_TESTING_H_
#define QUENSARIA_PLATFORM_INTERRUPTED_WRITE_FOR_TESTING_H_

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "platform/blocked_thread_for_testing.h"
#include "platform/unique_fd.h"

namespace quensaria::platform {

struct InterruptedWrite {
  std::string setup_error;  // empty when the pipe and signal were set up
  bool blocked = false;     // the writer was seen waiting in its write
  std::string written;      // what reached the pipe after its filler
};

// Runs `write_line` on a thread with `fd` (STDOUT_FILENO or STDERR_FILENO) on a
// full pipe, interrupts the waiting write a few times, then drains the pipe
// until `write_line` returned. `fd` is restored before returning.
inline InterruptedWrite WriteInterruptedBySignalsForTesting(
    int fd, const std::function<void()>& write_line) {
  InterruptedWrite result;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return {"pipe2 failed", false, {}};
  UniqueFd reader(ends[0]);
  UniqueFd writer(ends[1]);
  if (::fcntl(writer.get(), F_SETFL, O_NONBLOCK) != 0) return {"fcntl failed", false, {}};
  size_t filler = 0;
  const std::string block(4096, 'f');
  for (;;) {
    const ssize_t n = ::write(writer.get(), block.data(), block.size());
    if (n <= 0) break;
    filler += static_cast<size_t>(n);
  }
  if (errno != EAGAIN) return {"the pipe did not fill", false, {}};
  if (::fcntl(writer.get(), F_SETFL, 0) != 0 || ::fcntl(reader.get(), F_SETFL, O_NONBLOCK) != 0) {
    return {"fcntl failed", false, {}};
  }

  struct sigaction nudge = {};
  nudge.sa_handler = [](int) {};
  sigemptyset(&nudge.sa_mask);
  nudge.sa_flags = 0;  // no SA_RESTART: the write ends with EINTR
  struct sigaction previous = {};
  if (::sigaction(SIGUSR1, &nudge, &previous) != 0) return {"sigaction failed", false, {}};
  std::fflush(nullptr);
  UniqueFd saved(::dup(fd));
  if (!saved.valid() || ::dup2(writer.get(), fd) != fd) {
    ::sigaction(SIGUSR1, &previous, nullptr);
    return {"dup2 failed", false, {}};
  }

  std::atomic<int> id{0};
  std::atomic<bool> done{false};
  std::thread writing([&] {
    id = ThreadIdForTesting();
    write_line();
    done = true;
  });
  while (id == 0) std::this_thread::yield();
  // A few times over: a signal that came before the write began only ran
  // its handler.
  for (int i = 0; i < 3 && !done; ++i) {
    result.blocked = WaitUntilBlockedForTesting(id, std::chrono::seconds(10)) || result.blocked;
    if (!done) ::pthread_kill(writing.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::string out;
  char buffer[4096];
  for (;;) {
    const bool finished = done;  // then what it wrote is in the pipe already
    const ssize_t n = ::read(reader.get(), buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
    } else if (finished) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  writing.join();
  if (::dup2(saved.get(), fd) != fd) result.setup_error = "the descriptor was not restored";
  ::sigaction(SIGUSR1, &previous, nullptr);
  if (out.size() < filler) {
    result.setup_error = "the filler did not come back whole";
  } else {
    result.written = out.substr(filler);
  }
  return result;
}

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_INTERRUPTED_WRITE_FOR_TESTING_H_
