#include "shared/dotted_ipv4.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace quensaria {
namespace {

uint32_t Parsed(const char* text) {
  in_addr address{};
  EXPECT_EQ(1, ::inet_pton(AF_INET, text, &address)) << text;
  return address.s_addr;
}

TEST(DottedIpv4Test, ReadsTheAddressInNetworkOrderAndFitsTheWidest) {
  for (const char* text :
       {"0.0.0.0", "127.0.0.1", "192.168.1.10", "10.200.3.45", "255.255.255.255", "1.2.3.4"}) {
    EXPECT_EQ(std::string(text), FormatIpv4(Parsed(text)).c_str());
  }
  EXPECT_EQ(std::string("1.2.3.4"), FormatIpv4(htonl(0x01020304)).c_str());
}

}  // namespace
}  // namespace quensaria
