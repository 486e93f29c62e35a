#include "service/source/shared_sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/blocked_thread_for_testing.h"
#include "platform/eventually_for_testing.h"
#include "service/source/memory_io_for_testing.h"
#include "shared/win32_error.h"

namespace quensaria::source {
namespace {

using namespace std::chrono_literals;

// A flush on a thread of its own, which the test may wait to see blocked.
class FlushThread {
 public:
  explicit FlushThread(SharedSync& sync) {
    thread_ = std::thread([this, &sync] {
      id_ = platform::ThreadIdForTesting();
      outcome_ = sync.Flush();
      done_ = true;
    });
  }
  ~FlushThread() { Join(); }
  bool WaitUntilBlocked() {
    while (id_ == 0) std::this_thread::yield();
    return platform::WaitUntilBlockedForTesting(id_, 20s);
  }
  SharedSync::Outcome Join() {
    if (thread_.joinable()) thread_.join();
    return outcome_;
  }
  bool done() const { return done_; }

 private:
  std::atomic<int> id_{0};
  std::atomic<bool> done_{false};
  SharedSync::Outcome outcome_;
  std::thread thread_;
};

class SharedSyncTest : public ::testing::Test {
 protected:
  // Waits until `n` syncs have begun on the source.
  bool SyncsBegun(int n) {
    testing::Eventually([&] { return io_.counts().flushes >= n; }, 20s, 1ms);
    return io_.counts().flushes == n;
  }

  MemoryIo io_{std::vector<uint8_t>(4096)};
  SharedSync sync_{io_};
};

TEST_F(SharedSyncTest, EachFlushAskedForAfterTheLastSyncEndedRunsOne) {
  EXPECT_EQ(sync_.Flush().error, 0u);
  EXPECT_EQ(sync_.Flush().error, 0u);
  EXPECT_EQ(io_.counts().flushes, 2);
}

// A sync under way may have begun before the write the new flush vouches
// for was acknowledged: the flush waits for the next one, which the
// flushes that came meanwhile share.
TEST_F(SharedSyncTest, FlushesAskedForDuringASyncShareTheNextOne) {
  io_.HoldFlushes(true);
  FlushThread first(sync_);
  ASSERT_TRUE(SyncsBegun(1));
  const uint8_t byte = 7;
  ASSERT_EQ(io_.Write(0, &byte, 1).bytes, 1u);  // acknowledged after the sync began
  FlushThread second(sync_);
  FlushThread third(sync_);
  ASSERT_TRUE(second.WaitUntilBlocked());
  ASSERT_TRUE(third.WaitUntilBlocked());
  EXPECT_FALSE(second.done());
  EXPECT_EQ(io_.counts().flushes, 1) << "a flush started a sync while one ran";
  io_.HoldFlushes(false);
  EXPECT_EQ(first.Join().error, 0u);
  EXPECT_EQ(second.Join().error, 0u);
  EXPECT_EQ(third.Join().error, 0u);
  EXPECT_EQ(io_.counts().flushes, 2);
}

// A flush asked for while a sync runs holds no thread: Ask returns at once,
// and the thread of the running sync answers it with the next one.
TEST_F(SharedSyncTest, AFlushAskedForDuringASyncIsAnsweredByTheSyncsThread) {
  io_.HoldFlushes(true);
  FlushThread running(sync_);
  ASSERT_TRUE(SyncsBegun(1));
  struct Asked : SharedSync::Waiter {
    std::atomic<int> answers{0};
    std::thread::id by;
  } asked;
  asked.answer = [](SharedSync::Waiter* w) {
    auto* a = static_cast<Asked*>(w);
    a->by = std::this_thread::get_id();
    ++a->answers;
  };
  sync_.Ask(&asked);
  EXPECT_EQ(asked.answers, 0);
  EXPECT_FALSE(asked.answered);
  EXPECT_EQ(sync_.WaitingForTesting(), 1);
  io_.HoldFlushes(false);
  EXPECT_EQ(running.Join().error, 0u);
  EXPECT_EQ(asked.answers, 1);
  EXPECT_TRUE(asked.answered);
  EXPECT_EQ(asked.outcome.error, 0u);
  EXPECT_NE(asked.by, std::this_thread::get_id());
  EXPECT_EQ(io_.counts().flushes, 2);
}

// After a failed write-back the kernel may have dropped the pages: no later
// sync can vouch for them, so every later flush fails with the error.
TEST_F(SharedSyncTest, AFailedSyncFailsItsFlushesAndEveryLaterOne) {
  MemoryIo::Faults faults;
  faults.flush_error = ERROR_IO_DEVICE;
  io_.SetFaults(faults);
  io_.HoldFlushes(true);
  FlushThread first(sync_);
  ASSERT_TRUE(SyncsBegun(1));
  FlushThread waiting(sync_);
  ASSERT_TRUE(waiting.WaitUntilBlocked());
  io_.HoldFlushes(false);
  const SharedSync::Outcome own = first.Join();
  EXPECT_EQ(own.error, ERROR_IO_DEVICE);
  EXPECT_FALSE(own.earlier);
  // It began before the failed sync ended, which covered part of its writes.
  const SharedSync::Outcome shared = waiting.Join();
  EXPECT_EQ(shared.error, ERROR_IO_DEVICE);
  EXPECT_TRUE(shared.earlier);

  io_.SetFaults({});
  const SharedSync::Outcome later = sync_.Flush();
  EXPECT_EQ(later.error, ERROR_IO_DEVICE);
  EXPECT_TRUE(later.earlier);
  EXPECT_EQ(io_.counts().flushes, 1);
}

}  // namespace
}  // namespace quensaria::source
