// The helpers with which tests run programs.
#include "tests/program_for_testing.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <set>

#include "platform/unique_fd.h"

namespace quensaria::testing {
namespace {

// The first port of the range the kernel hands to outgoing connections and
// to listeners on port 0.
int EphemeralPortsStart() {
  int low = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
  return low;
}

bool Bindable(uint16_t port) {
  platform::UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return probe.valid() &&
         ::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// A port that a program binds some time after the test chose it: outside the
// kernel's own range, where another test's connection could take it
// meanwhile, and never one given before, which the first program may hold.
TEST(FreePortTest, IsFreeBelowTheKernelsRangeAndNotGivenTwice) {
  const int low = EphemeralPortsStart();
  std::set<uint16_t> given;
  for (int i = 0; i < 100; ++i) {
    SCOPED_TRACE(i);
    const uint16_t port = FreePort();
    ASSERT_NE(port, 0);
    EXPECT_LT(port, low);
    EXPECT_TRUE(Bindable(port)) << port;
    EXPECT_TRUE(given.insert(port).second) << port << " was given before";
  }
}

}  // namespace
}  // namespace quensaria::testing
