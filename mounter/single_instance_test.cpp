#include "mounter/single_instance.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include "platform/scratch_dir_for_testing.h"

namespace quensaria::mounter {
namespace {

// An application for the sockets' events and a runtime directory of its own.
class SingleInstanceTest : public ::testing::Test {
 protected:
  SingleInstanceTest() { ::setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1); }
  ~SingleInstanceTest() override { ::unsetenv("XDG_RUNTIME_DIR"); }

  static inline int argc_ = 1;
  static inline char name_[] = "single_instance_test";
  static inline char* argv_[] = {name_, nullptr};
  QCoreApplication app_{argc_, argv_};
  testing::ScratchDir runtime_;
};

TEST_F(SingleInstanceTest, ASecondStartMakesTheFirstShowItselfAndEnds) {
  SingleInstance first;
  EXPECT_EQ(first.serverName().toStdString(), runtime_.File(kMounterTitle));
  EXPECT_FALSE(first.AskRunningInstanceToShow()) << "nobody runs yet";
  // A socket a crashed mounter left behind does not stop the next one.
  QFile stale(first.serverName());
  ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
  stale.close();
  ASSERT_TRUE(first.Listen());
  int shows = 0;
  QObject::connect(&first, &SingleInstance::showRequested, [&] { ++shows; });

  SingleInstance second;
  EXPECT_TRUE(second.AskRunningInstanceToShow());
  for (int i = 0; i < 1000 && shows == 0; ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  EXPECT_EQ(shows, 1);

  // Another user's mounter lives elsewhere and is not asked.
  ::setenv("XDG_RUNTIME_DIR", "/nonexistent-runtime", 1);
  SingleInstance other_user;
  EXPECT_FALSE(other_user.AskRunningInstanceToShow());
}

// Two starts at once both find nobody to ask; the later one's Listen must
// not take the socket from the one already listening, or both run and a
// third start reaches only the later one.
TEST_F(SingleInstanceTest, ALiveInstancesSocketIsNotTakenOver) {
  SingleInstance first;
  ASSERT_TRUE(first.Listen());
  int first_shows = 0;
  QObject::connect(&first, &SingleInstance::showRequested, [&] { ++first_shows; });
  SingleInstance second;
  EXPECT_FALSE(second.Listen());
  for (int i = 0; i < 1000 && first_shows == 0; ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  EXPECT_EQ(first_shows, 1) << "the second start's knock";
  int second_shows = 0;
  QObject::connect(&second, &SingleInstance::showRequested, [&] { ++second_shows; });

  SingleInstance third;
  EXPECT_TRUE(third.AskRunningInstanceToShow());
  for (int i = 0; i < 1000 && first_shows + second_shows == 1; ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  EXPECT_EQ(first_shows, 2);
  EXPECT_EQ(second_shows, 0);
}

}  // namespace
}  // namespace quensaria::mounter
