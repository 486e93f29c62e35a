#include "platform/host_name.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace quensaria::platform {
namespace {

uint32_t Address(const char* text) {
  in_addr parsed{};
  EXPECT_EQ(inet_pton(AF_INET, text, &parsed), 1) << text;
  return parsed.s_addr;
}

// True when /etc/hosts names 127.0.0.1 "localhost" first, as Debian ships it.
bool HostsFileNamesLocalhost() {
  std::ifstream hosts("/etc/hosts");
  std::string line;
  while (std::getline(hosts, line)) {
    std::istringstream fields(line);
    std::string address, name;
    if (fields >> address >> name && address == "127.0.0.1") return name == "localhost";
  }
  return false;
}

TEST(HostNameTest, LoopbackResolvesThroughHostsFile) {
  if (!HostsFileNamesLocalhost()) GTEST_SKIP() << "/etc/hosts does not name 127.0.0.1 localhost";
  const auto name = LookUpHostName(Address("127.0.0.1"));
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(*name, "localhost");
}

TEST(HostNameTest, AddressWithoutNameIsAFailureNotItsText) {
  // 192.0.2.0/24 is reserved for documentation and has no reverse entries;
  // without NI_NAMEREQD getnameinfo would hand back "192.0.2.1".
  const auto name = LookUpHostName(Address("192.0.2.1"));
  EXPECT_FALSE(name.has_value()) << *name;
}

}  // namespace
}  // namespace quensaria::platform
