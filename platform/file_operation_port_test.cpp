#include "platform/file_operation_port.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "platform/eventually_for_testing.h"
#include "platform/unique_fd.h"

namespace quensaria::platform {
namespace {

struct Op {
  FileOperation port;
  int id = 0;
  std::atomic<int> taken{0};
};

TEST(FilePortTest, OperationsComeOutInTheOrderPosted) {
  FilePort port;
  Op ops[3];
  for (int i = 0; i < 3; ++i) {
    ops[i].id = i;
    ops[i].port.key = &ops[i];
    port.Post(&ops[i].port);
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(static_cast<Op*>(port.Wait()->key)->id, i);
  port.Post(&ops[1].port);  // a record may be posted again once taken
  EXPECT_EQ(port.Wait(), &ops[1].port);
}

TEST(FilePortTest, ShutdownWakesEveryWaiterNowAndLater) {
  FilePort port;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (port.Wait() == nullptr) ++woken;
    });
  }
  port.PostShutdown();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 4);
  Op op;
  port.Post(&op.port);
  EXPECT_EQ(port.Wait(), nullptr);
}

TEST(FilePortTest, EachPostedOperationGoesToExactlyOneWorker) {
  FilePort port;
  constexpr int kOps = 20000;
  std::vector<Op> ops(kOps);
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&] {
      while (FileOperation* op = port.Wait()) static_cast<Op*>(op->key)->taken++;
    });
  }
  std::vector<std::thread> posters;
  for (int p = 0; p < 2; ++p) {
    posters.emplace_back([&, p] {
      for (int i = p; i < kOps; i += 2) {
        ops[i].port.key = &ops[i];
        port.Post(&ops[i].port);
      }
    });
  }
  for (auto& t : posters) t.join();
  for (;;) {
    int done = 0;
    for (const Op& op : ops) done += op.taken.load();
    if (done == kOps) break;
    std::this_thread::yield();
  }
  port.PostShutdown();
  for (auto& t : workers) t.join();
  for (const Op& op : ops) ASSERT_EQ(op.taken.load(), 1);
}

// A worker lingering on a connection: the connection's socket is one end of
// a socket pair, the client the other.
class LingerTest : public ::testing::Test {
 protected:
  LingerTest() {
    int ends[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    connection_.Reset(ends[0]);
    client_.Reset(ends[1]);
  }
  // Lingers on another thread, so that a linger that never ends fails
  // the test instead of hanging it.
  std::future<LingerResult> LingerAsync(std::chrono::microseconds timeout) {
    return std::async(std::launch::async,
                      [this, timeout] { return port_.Linger(connection_.get(), timeout); });
  }
  static constexpr auto kLong = std::chrono::seconds(30);

  // Polls `reached` for at most 20 s; true once it holds.
  static bool Eventually(const std::function<bool()>& reached) {
    return testing::Eventually(reached, std::chrono::seconds(20));
  }
  bool SomeoneLingers() {
    return Eventually([this] { return port_.LingerersForTesting() > 0; });
  }

  FilePort port_;
  UniqueFd connection_, client_;
};

TEST_F(LingerTest, EndsWhenTheClientSendsOrItsTimeIsUp) {
  auto lingering = LingerAsync(kLong);
  ASSERT_TRUE(SomeoneLingers());
  ASSERT_EQ(::write(client_.get(), "x", 1), 1);
  ASSERT_EQ(lingering.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(lingering.get(), LingerResult::kReadable);

  char byte;
  ASSERT_EQ(::read(connection_.get(), &byte, 1), 1);
  EXPECT_EQ(port_.Linger(connection_.get(), std::chrono::milliseconds(20)), LingerResult::kNotYet);
  client_.Reset();  // the end of the stream is something to receive too
  EXPECT_EQ(port_.Linger(connection_.get(), kLong), LingerResult::kReadable);
}

TEST_F(LingerTest, QueuedOperationsComeFirst) {
  Op op;
  port_.Post(&op.port);
  EXPECT_EQ(port_.Linger(connection_.get(), kLong), LingerResult::kDeclined);
  EXPECT_EQ(port_.Wait(), &op.port);
}

TEST_F(LingerTest, APostThatFindsNobodyAsleepEndsTheLinger) {
  auto lingering = LingerAsync(kLong);
  ASSERT_TRUE(SomeoneLingers());
  Op op;
  port_.Post(&op.port);
  ASSERT_EQ(lingering.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(lingering.get(), LingerResult::kNotYet);
  EXPECT_EQ(port_.Wait(), &op.port) << "the post is still there to take";
}

TEST_F(LingerTest, APostWithAWorkerAsleepLeavesTheLingerAlone) {
  std::promise<FileOperation*> taken;
  std::thread sleeper([&] { taken.set_value(port_.Wait()); });
  ASSERT_TRUE(Eventually([this] { return port_.SleepersForTesting() > 0; }));
  auto lingering = LingerAsync(kLong);
  ASSERT_TRUE(SomeoneLingers());
  Op op;
  port_.Post(&op.port);
  EXPECT_EQ(taken.get_future().get(), &op.port);
  sleeper.join();
  // Still lingering: only the client's byte ends it (a nudge would have
  // ended it as kNotYet).
  ASSERT_EQ(::write(client_.get(), "x", 1), 1);
  ASSERT_EQ(lingering.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(lingering.get(), LingerResult::kReadable)
      << "the sleeper took the post; the linger was left alone";
}

TEST_F(LingerTest, ShutdownEndsLingersAndDeclinesNewOnes) {
  auto lingering = LingerAsync(kLong);
  ASSERT_TRUE(SomeoneLingers());
  port_.PostShutdown();
  ASSERT_EQ(lingering.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_NE(lingering.get(), LingerResult::kReadable);
  EXPECT_EQ(port_.Linger(connection_.get(), kLong), LingerResult::kDeclined);
}

}  // namespace
}  // namespace quensaria::platform
