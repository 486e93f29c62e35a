// A foreign DCE/RPC client on the management socket: python3-impacket binds
// and calls GetServiceName, AddServer, EnumServers and GetServer with its own
// NDR marshalling (testdata/impacket_peer.py).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/eventually_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "service/management/fake_operations_for_testing.h"
#include "service/management/management_server.h"
#include "service/management/test_client_for_testing.h"

namespace quensaria::management {
namespace {

constexpr char kPython[] = "/usr/bin/python3";

// Runs `command`, returning its exit status and standard output.
int RunCommand(const std::string& command, std::string& output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ImpacketInteropTest, ForeignClientBindsAndCalls) {
  std::string probe;
  if (!std::filesystem::exists(kPython) ||
      RunCommand(std::string(kPython) + " -c 'import impacket.dcerpc.v5.rpcrt'", probe) != 0) {
    GTEST_SKIP() << "python3-impacket is not installed for /usr/bin/python3: " << probe;
  }
  testing::ScratchDir scratch;
  const std::string dir = scratch.path().string();
  FakeOperations ops;
  ManagementServer server(ops, dir + "/run");
  std::thread listening([&] { StartManagementInterface(server); });
  TestClient ready;
  EXPECT_TRUE(testing::Eventually([&] { return ready.Connect(server.EndpointPath()); },
                                  std::chrono::seconds(30), std::chrono::milliseconds(10)));

  std::string output;
  const int status = RunCommand(
      std::string(kPython) + " " + QUENSARIA_IMPACKET_PEER + " " + server.EndpointPath(), output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output.find("FAIL"), std::string::npos) << output;
  EXPECT_NE(output.find("ok    GetServiceName n=16 is \"Velmoran Server\""), std::string::npos)
      << output;
  EXPECT_NE(output.find("ok    GetServer Source"), std::string::npos) << output;

  server.Shutdown();
  listening.join();
}

}  // namespace
}  // namespace quensaria::management
