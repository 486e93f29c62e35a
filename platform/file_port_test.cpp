#include "platform/file_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace quensaria::platform
