// One quensaria process with its own state and runtime folders, talking to
// the test cluster: what the RBD and failover tests start, kill and ask.
// The test target defines QUENSARIA_PROGRAM.
#ifndef QUENSARIA_TESTS_RBD_SERVICE_FOR_TESTING_H_
#define QUENSARIA_TESTS_RBD_SERVICE_FOR_TESTING_H_

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "configurator/client/management_client.h"
#include "platform/eventually_for_testing.h"
#include "shared/block_protocol.h"
#include "shared/password_digest.h"
#include "tests/program_for_testing.h"
#include "tests/velmoran_harness_for_testing.h"

namespace quensaria::testing {

class RbdService {
 public:
  RbdService(const std::string& dir, const std::string& ceph_conf) : dir_(dir) {
    std::filesystem::create_directories(dir);
    program_ = std::make_unique<Program>(
        std::vector<std::string>{QUENSARIA_PROGRAM, "--console", "--state-dir", dir + "/state",
                                 "--runtime-dir", dir + "/run", "--ceph-conf", ceph_conf},
        dir + "/service.log");
    client_ =
        std::make_unique<configurator::ManagementClient>(dir + "/run", std::chrono::seconds(30));
    std::string name;
    Eventually([&] { return client_->GetServiceName(16, name) == 0; }, std::chrono::seconds(30),
               std::chrono::milliseconds(10));
    up_ = name == "Velmoran Server";
  }
  bool up() const { return up_; }
  configurator::ManagementClient& client() { return *client_; }
  std::string runtime() const { return dir_ + "/run"; }
  std::string Log() const { return program_->Log(); }
  // Waits (bounded) for `text` on the console.
  bool LogShows(const std::string& text,
                std::chrono::seconds limit = std::chrono::seconds(60)) const {
    return Eventually([&] { return Log().find(text) != std::string::npos; }, limit,
                      std::chrono::milliseconds(50));
  }
  void Kill() {
    program_->Signal(SIGKILL);
    (void)program_->Wait(std::chrono::seconds(30));
  }
  void Stop() {
    program_->Signal(SIGTERM);
    (void)program_->Wait(std::chrono::seconds(30));
  }

  // Adds a server of `source` on a free port with "Any Address" at virtual
  // write, the log-on password "pupil" and the management password "boss",
  // stopped; its handle, and the port in `port`.
  configurator::Handle Add(const std::string& source, uint16_t& port) {
    ServerConfig config;
    std::memset(&config, 0, sizeof config);
    std::strncpy(config.Source, source.c_str(), sizeof config.Source - 1);
    port = FreePort();
    config.Port = port;
    config.Cache = 8;
    const Sha1Digest login = PasswordDigest("pupil");
    const Sha1Digest manage = PasswordDigest("boss");
    std::memcpy(config.Password, login.data(), kDigestSize);
    std::memcpy(config.ManagePassword, manage.data(), kDigestSize);
    configurator::Handle server = 0;
    EXPECT_EQ(client_->AddServer(config, server), 0);
    ClientEntry any{};
    any.access = ACCESS_VIRTUAL_WRITE;
    EXPECT_EQ(client_->AddStaticClient(server, any), 0);
    return server;
  }

 private:
  std::string dir_;
  std::unique_ptr<Program> program_;
  std::unique_ptr<configurator::ManagementClient> client_;
  bool up_ = false;
};

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_RBD_SERVICE_FOR_TESTING_H_
