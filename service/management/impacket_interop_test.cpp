// A foreign DCE/RPC client on the management socket: python3-impacket binds
// and calls GetServiceName, AddServer, EnumServers and GetServer with its own
// NDR marshalling (testdata/impacket_peer.py).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "platform/eventually_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "service/management/fake_operations_for_testing.h"
#include "service/management/management_server.h"
#include "service/management/test_client_for_testing.h"
#include "tests/program_for_testing.h"

namespace quensaria::management {
namespace {

constexpr char kPython[] = "/usr/bin/python3";

TEST(ImpacketInteropTest, ForeignClientBindsAndCalls) {
  if (!std::filesystem::exists(kPython)) GTEST_SKIP() << kPython << " is not installed";
  const testing::ProgramResult probe =
      testing::RunProgram({kPython, "-c", "import impacket.dcerpc.v5.rpcrt"});
  if (probe.exit_code != 0) {
    GTEST_SKIP() << "python3-impacket is not installed for /usr/bin/python3: " << probe.err;
  }
  testing::ScratchDir scratch;
  const std::string dir = scratch.path().string();
  FakeOperations ops;
  ManagementServer server(ops, dir + "/run");
  std::thread listening([&] { StartManagementInterface(server); });
  TestClient ready;
  EXPECT_TRUE(testing::Eventually([&] { return ready.Connect(server.EndpointPath()); },
                                  std::chrono::seconds(30), std::chrono::milliseconds(10)));

  const testing::ProgramResult peer =
      testing::RunProgram({kPython, QUENSARIA_IMPACKET_PEER, server.EndpointPath()});
  const std::string output = peer.out + peer.err;
  EXPECT_EQ(peer.exit_code, 0) << output;
  EXPECT_EQ(output.find("FAIL"), std::string::npos) << output;
  EXPECT_NE(output.find("ok    GetServiceName n=16 is \"Velmoran Server\""), std::string::npos)
      << output;
  EXPECT_NE(output.find("ok    GetServer Source"), std::string::npos) << output;

  server.Shutdown();
  listening.join();
}

}  // namespace
}  // namespace quensaria::management
