// The driver's debug lines on standard error.
#include "driver/debug_print.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "platform/blocked_thread_for_testing.h"
#include "platform/unique_fd.h"

namespace quensaria::driver {
namespace {

// A signal that interrupts the write to a full standard error (the
// journal's stream or a pipe that is slow to read) must not cost the line.
TEST(DebugPrintTest, ALineWhoseWriteASignalInterruptsIsStillWritten) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  platform::UniqueFd reader(ends[0]);
  platform::UniqueFd writer(ends[1]);
  // Full, so that the line's write waits.
  ASSERT_EQ(::fcntl(writer.get(), F_SETFL, O_NONBLOCK), 0);
  size_t filler = 0;
  const std::string block(4096, 'f');
  for (;;) {
    const ssize_t n = ::write(writer.get(), block.data(), block.size());
    if (n <= 0) break;
    filler += static_cast<size_t>(n);
  }
  ASSERT_EQ(errno, EAGAIN);
  ASSERT_EQ(::fcntl(writer.get(), F_SETFL, 0), 0);
  ASSERT_EQ(::fcntl(reader.get(), F_SETFL, O_NONBLOCK), 0);

  struct sigaction nudge = {};
  nudge.sa_handler = [](int) {};
  sigemptyset(&nudge.sa_mask);
  nudge.sa_flags = 0;  // no SA_RESTART: the write ends with EINTR
  struct sigaction previous = {};
  ASSERT_EQ(::sigaction(SIGUSR1, &nudge, &previous), 0);
  platform::UniqueFd saved(::dup(STDERR_FILENO));
  ASSERT_TRUE(saved.valid());
  ASSERT_EQ(::dup2(writer.get(), STDERR_FILENO), STDERR_FILENO);

  std::atomic<int> id{0};
  std::atomic<bool> done{false};
  std::thread logger([&] {
    id = platform::ThreadIdForTesting();
    DebugPrint("a line that waited");
    done = true;
  });
  while (id == 0) std::this_thread::yield();
  // A few times over: a signal that came before the write began only
  // ran its handler.
  bool blocked = false;
  for (int i = 0; i < 3 && !done; ++i) {
    blocked = platform::WaitUntilBlockedForTesting(id, std::chrono::seconds(10)) || blocked;
    if (!done) ::pthread_kill(logger.native_handle(), SIGUSR1);
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
  logger.join();
  EXPECT_EQ(::dup2(saved.get(), STDERR_FILENO), STDERR_FILENO);
  ::sigaction(SIGUSR1, &previous, nullptr);
  ASSERT_TRUE(blocked);
  ASSERT_GE(out.size(), filler);
  EXPECT_EQ(out.substr(filler), "a line that waited\n");
}

}  // namespace
}  // namespace quensaria::driver
