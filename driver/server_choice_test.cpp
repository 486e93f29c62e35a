#include "driver/server_choice.h"

#include <gtest/gtest.h>

namespace quensaria::driver {
namespace {

constexpr uint64_t kSize = 8 << 20;

SourceId Id(uint8_t first) {
  SourceId id{};
  id[0] = first;
  id[15] = 0x5A;
  return id;
}

ServerOffer Offer(uint64_t size, uint8_t access, SourceId id = {}) {
  ServerOffer offer;
  offer.disk_size = size;
  offer.access = access;
  offer.source_id = id;
  return offer;
}

struct Case {
  const char* what;
  ServerOffer mounted;
  ServerOffer offered;
  bool writes_reach_server;
  ServerFit expected;
};

TEST(ServerChoiceTest, TheRulesOfGoingOnWithAnotherServer) {
  const Case cases[] = {
      // Reading only: any server of the same size, whatever it serves.
      {"virtual write, same size, no identities", Offer(kSize, ACCESS_VIRTUAL_WRITE),
       Offer(kSize, ACCESS_VIRTUAL_WRITE), false, ServerFit::kFits},
      {"virtual write, another source", Offer(kSize, ACCESS_VIRTUAL_WRITE, Id(1)),
       Offer(kSize, ACCESS_FULL, Id(2)), false, ServerFit::kFits},
      {"virtual write, one sector more", Offer(kSize, ACCESS_VIRTUAL_WRITE),
       Offer(kSize + 512, ACCESS_VIRTUAL_WRITE), false, ServerFit::kOtherSize},
      {"read-only full access, one sector less", Offer(kSize, ACCESS_FULL, Id(1)),
       Offer(kSize - 512, ACCESS_FULL, Id(1)), false, ServerFit::kOtherSize},
      // A server that answers access 2 refuses this client: nothing to read there.
      {"virtual write, refused there", Offer(kSize, ACCESS_VIRTUAL_WRITE),
       Offer(kSize, ACCESS_REFUSED), false, ServerFit::kRefused},
      {"read-only full access, refused there", Offer(kSize, ACCESS_FULL, Id(1)),
       Offer(kSize, ACCESS_REFUSED, Id(1)), false, ServerFit::kRefused},
      // Writing: the same shared source, at full access.
      {"full, same shared source", Offer(kSize, ACCESS_FULL, Id(1)),
       Offer(kSize, ACCESS_FULL, Id(1)), true, ServerFit::kFits},
      {"full, another shared source", Offer(kSize, ACCESS_FULL, Id(1)),
       Offer(kSize, ACCESS_FULL, Id(2)), true, ServerFit::kOtherSource},
      {"full, the other serves a file", Offer(kSize, ACCESS_FULL, Id(1)), Offer(kSize, ACCESS_FULL),
       true, ServerFit::kOtherSource},
      {"full, own server serves a file, the other too", Offer(kSize, ACCESS_FULL),
       Offer(kSize, ACCESS_FULL), true, ServerFit::kNoSharedSource},
      {"full, own server serves a file, the other an image", Offer(kSize, ACCESS_FULL),
       Offer(kSize, ACCESS_FULL, Id(1)), true, ServerFit::kNoSharedSource},
      {"full, same source read-only elsewhere", Offer(kSize, ACCESS_FULL, Id(1)),
       Offer(kSize, ACCESS_VIRTUAL_WRITE, Id(1)), true, ServerFit::kNoFullAccess},
      {"full, same source, refused there", Offer(kSize, ACCESS_FULL, Id(1)),
       Offer(kSize, ACCESS_REFUSED, Id(1)), true, ServerFit::kNoFullAccess},
      {"full, same source, another size", Offer(kSize, ACCESS_FULL, Id(1)),
       Offer(kSize * 2, ACCESS_FULL, Id(1)), true, ServerFit::kOtherSize},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JudgeServer(c.mounted, c.offered, c.writes_reach_server), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace quensaria::driver
