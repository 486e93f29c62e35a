// ludrane's start-up check of the service against a stand-in systemd
// manager (systemd-standin) on a private dbus-daemon, which this binary
// names as the system bus through DBUS_SYSTEM_BUS_ADDRESS.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>

#include "configurator/document/prompts_for_testing.h"
#include "configurator/document/service_control.h"
#include "platform/scratch_dir_for_testing.h"
#include "tests/program_for_testing.h"

namespace quensaria {
namespace {

using configurator::CheckAndStartService;
using configurator::RecordingPrompts;
using configurator::ServiceCheck;
using testing::Program;

constexpr char kSystemd[] = "org.freedesktop.systemd1";

// The private bus, for the whole binary: the process's system-bus
// connection is made once and kept.
class PrivateBus : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::string socket = scratch_.File("system_bus_socket");
    daemon_ = std::make_unique<Program>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                                 "--address=unix:path=" + socket},
        scratch_.File("dbus-daemon.log"));
    ASSERT_TRUE(daemon_->started());
    for (int i = 0; i < 3000 && !std::filesystem::exists(socket); ++i) QTest::qWait(10);
    ASSERT_TRUE(std::filesystem::exists(socket)) << daemon_->Log();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
    ASSERT_TRUE(QDBusConnection::systemBus().isConnected());
  }
  void TearDown() override { daemon_.reset(); }

 private:
  testing::ScratchDir scratch_;
  std::unique_ptr<Program> daemon_;
};

const auto* const kBus = ::testing::AddGlobalTestEnvironment(new PrivateBus);

bool Registered() {
  return QDBusConnection::systemBus().interface()->isServiceRegistered(kSystemd);
}

class ServiceControlTest : public ::testing::Test {
 protected:
  void TearDown() override {
    standin_.reset();  // killed; the bus drops its name
    for (int i = 0; i < 3000 && Registered(); ++i) QTest::qWait(10);
  }
  void StartStandin(const std::vector<std::string>& options) {
    std::vector<std::string> argv = {SYSTEMD_STANDIN, "--record", record_};
    argv.insert(argv.end(), options.begin(), options.end());
    standin_ = std::make_unique<Program>(argv, scratch_.File("standin.log"));
    ASSERT_TRUE(standin_->started());
    for (int i = 0; i < 3000 && !Registered(); ++i) QTest::qWait(10);
    ASSERT_TRUE(Registered()) << standin_->Log();
  }
  std::string Recorded() {
    std::ifstream in(record_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  testing::ScratchDir scratch_;
  const std::string record_ = scratch_.File("calls");
  std::unique_ptr<Program> standin_;
  RecordingPrompts prompts_{/*answer_yes_when_none_queued=*/false};
};

constexpr char kQuestion[] =
    "Question: The Quensaria service is not started, do you want to start it now?";

TEST_F(ServiceControlTest, AStoppedServiceBringsTheQuestionAndNoLeavesItStopped) {
  StartStandin({"--active", "inactive"});
  prompts_.answers = {false};
  EXPECT_EQ(CheckAndStartService(prompts_), ServiceCheck::kDeclined);
  ASSERT_EQ(prompts_.questions.size(), 1);
  EXPECT_EQ(prompts_.questions[0].toStdString(), kQuestion);
  EXPECT_EQ(Recorded(), "");
  EXPECT_TRUE(prompts_.messages.isEmpty());
}

TEST_F(ServiceControlTest, YesStartsTheUnit) {
  StartStandin({"--active", "failed", "--start", "ok"});
  prompts_.answers = {true};
  EXPECT_EQ(CheckAndStartService(prompts_), ServiceCheck::kStartRequested);
  EXPECT_EQ(prompts_.questions.size(), 1);
  EXPECT_EQ(Recorded(), "StartUnit quensariasvc.service replace\n") << standin_->Log();
  EXPECT_TRUE(prompts_.messages.isEmpty());
}

TEST_F(ServiceControlTest, AStartThatFailsIsReported) {
  StartStandin({"--active", "inactive", "--start", "fail"});
  prompts_.answers = {true};
  EXPECT_EQ(CheckAndStartService(prompts_), ServiceCheck::kStartFailed);
  EXPECT_EQ(Recorded(), "StartUnit quensariasvc.service replace\n");
  ASSERT_EQ(prompts_.messages.size(), 1);
  EXPECT_EQ(prompts_.messages[0].toStdString(), "Can't to start Quensaria service!");
}

TEST_F(ServiceControlTest, ARunningServiceAsksNothing) {
  StartStandin({"--active", "active"});
  EXPECT_EQ(CheckAndStartService(prompts_), ServiceCheck::kRunning);
  EXPECT_TRUE(prompts_.questions.isEmpty());
  EXPECT_EQ(Recorded(), "");
}

TEST_F(ServiceControlTest, NoUnitOrNoManagerIsSilent) {
  StartStandin({"--load", "not-found"});
  EXPECT_EQ(CheckAndStartService(prompts_), ServiceCheck::kCannotOpen);
  standin_.reset();
  for (int i = 0; i < 3000 && Registered(); ++i) QTest::qWait(10);
  ASSERT_FALSE(Registered());
  EXPECT_EQ(CheckAndStartService(prompts_), ServiceCheck::kCannotOpen);
  EXPECT_TRUE(prompts_.questions.isEmpty());
  EXPECT_TRUE(prompts_.messages.isEmpty());
  EXPECT_EQ(Recorded(), "");
}

}  // namespace
}  // namespace quensaria
