#include "tests/service_and_driver_for_testing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/program_for_testing.h"

namespace quensaria::harness {

void ServiceAndDriver::Start() {
  std::filesystem::create_directories(scratch_.File("state"));
  std::filesystem::create_directories(scratch_.File("qrun"));
  ASSERT_NO_FATAL_FAILURE(StartService());
  velmoran_ = VelmoranProcess::Start(scratch_.File("vrun"), driver_arguments_, driver_prefix_);
  ASSERT_TRUE(velmoran_ && velmoran_->running());
}

void ServiceAndDriver::StartService() {
  const std::string cli = Cli("status");
  std::vector<std::string> argv = wrapper_;
  argv.insert(argv.end(), {QUENSARIA_PATH, "--console", "--state-dir", scratch_.File("state"),
                           "--runtime-dir", scratch_.File("qrun")});
  service_ = Program::Start(argv, [cli](const Program&) { return Shell(cli).code == 0; });
  ASSERT_TRUE(service_ && service_->running()) << (service_ ? service_->Log() : "");
}

void ServiceAndDriver::StartServiceOnARestartedMachine() {
  const std::string boot_id = scratch_.File("boot_id");
  std::ofstream(boot_id) << "0badb007-0000-4000-8000-000000000000\n";
  ASSERT_TRUE(std::filesystem::exists(boot_id));
  SetServiceWrapper({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                     "mount --bind \"$0\" /proc/sys/kernel/random/boot_id && exec \"$@\"",
                     boot_id});
  StartService();
}

void ServiceAndDriver::StopAndCheck() {
  if (velmoran_) {
    if (velmoran_->running()) {
      EXPECT_EQ(0, velmoran_->Stop()) << velmoran_->Log();
    }
    EXPECT_EQ("", FaultsIn(velmoran_->Log()));
  }
  if (service_) {
    if (service_->running()) {
      EXPECT_EQ(0, service_->Stop()) << service_->Log();
    }
    EXPECT_EQ("", FaultsIn(service_->Log()));
  }
}

std::string ServiceAndDriver::Cli(const std::string& arguments) const {
  return std::string(LUDRANE_CLI_PATH) + " --runtime-dir " + Quote(scratch_.File("qrun")) + " " +
         arguments;
}

int ServiceAndDriver::Export(const std::string& image, const std::string& access,
                             const std::string& options, bool start, std::string* server) {
  const int port = testing::FreePort();
  const CommandResult added =
      Shell(Cli("add-server " + Quote(image) + " --port " + std::to_string(port) + " " + options));
  EXPECT_EQ(0, added.code) << added.output;
  const std::string handle = testing::FirstLine(added.output);
  EXPECT_EQ(0, Shell(Cli("add-client " + handle + " 127.0.0.1 " + access)).code);
  if (start) {
    const CommandResult started = Shell(Cli("start-server " + handle));
    EXPECT_EQ(0, started.code) << started.output << service_->Log();
  }
  if (server != nullptr) *server = handle;
  return port;
}

}  // namespace quensaria::harness
