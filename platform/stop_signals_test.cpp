// Stop signals received synchronously, and the waiter's cancellation.
#include "platform/stop_signals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "platform/blocked_thread_for_testing.h"
#include "platform/notify_socket_for_testing.h"
#include "platform/program_path.h"
#include "platform/scratch_dir_for_testing.h"
#include "platform/service_notify.h"

namespace quensaria::platform {
namespace {

TEST(StopSignalsTest, SigtermAndSigintArriveAsValuesNotDeaths) {
  auto signals = StopSignals::Install();
  ASSERT_TRUE(signals.ok()) << signals.status().ToString();
  int received = -1;
  std::thread waiter([&] { received = (*signals)->Wait(); });
  ASSERT_EQ(kill(getpid(), SIGTERM), 0);
  waiter.join();
  EXPECT_EQ(received, SIGTERM);
  ASSERT_EQ(kill(getpid(), SIGINT), 0);
  EXPECT_EQ((*signals)->Wait(), SIGINT);
  // A write to a closed pipe fails instead of killing the process.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  EXPECT_EQ(write(fds[1], "x", 1), -1);
  close(fds[1]);
}

TEST(StopSignalsTest, CancelEndsTheWait) {
  auto signals = StopSignals::Install();
  ASSERT_TRUE(signals.ok());
  int received = -1;
  std::promise<int> waiter_id;
  std::thread waiter([&] {
    waiter_id.set_value(ThreadIdForTesting());
    received = (*signals)->Wait();
  });
  EXPECT_TRUE(WaitUntilBlockedForTesting(waiter_id.get_future().get(), std::chrono::seconds(30)));
  (*signals)->Cancel();
  waiter.join();
  EXPECT_EQ(received, 0);
}

// Plays systemd: a datagram socket named by NOTIFY_SOCKET receives the reports.
TEST(ServiceNotifyTest, ReportsReachTheNotifySocket) {
  testing::ScratchDir scratch;
  testing::NotifySocket systemd(scratch.File("notify"));
  ASSERT_TRUE(systemd.valid());

  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(UnderServiceManager());
  NotifyReady();  // nothing to report to: does nothing
  setenv("NOTIFY_SOCKET", systemd.path().c_str(), 1);
  EXPECT_TRUE(UnderServiceManager());
  NotifyReady();
  NotifyStatus("serving 2 exports");
  NotifyStopping();
  unsetenv("NOTIFY_SOCKET");

  // Sent before, so each is there at once.
  std::vector<std::string> received;
  for (int i = 0; i < 3; ++i) received.push_back(systemd.Next(std::chrono::milliseconds(0)));
  EXPECT_EQ(received,
            (std::vector<std::string>{"READY=1", "STATUS=serving 2 exports", "STOPPING=1"}));
}

TEST(ProgramPathTest, IsTheDirectoryOfThisTestBinary) {
  Result<std::string> directory = ProgramDirectory();
  ASSERT_TRUE(directory.ok());
  EXPECT_TRUE(std::filesystem::exists(directory.value() + "/platform_service_test"))
      << directory.value();
}

}  // namespace
}  // namespace quensaria::platform
