// The indexed client list: lookups by handle and address agree with the
// list's order through appends and removals, also with repeated addresses
// (a Locals.xml may list one twice), and the refused cap drops only the
// oldest refused entries that are still listed and still refused.
#include "service/registry/client_list.h"

#include <gtest/gtest.h>

#include <vector>

namespace quensaria::registry {
namespace {

ListedClient Client(Handle handle, uint32_t address, uint8_t state = kClientStatic) {
  ListedClient client{};
  client.handle = handle;
  client.entry.address = address;
  client.entry.state = state;
  return client;
}

std::vector<Handle> Walk(const ClientList& list) {
  std::vector<Handle> handles;
  for (Handle at = list.NextAfter(0); at != 0; at = list.NextAfter(at)) handles.push_back(at);
  return handles;
}

TEST(ClientListTest, FindsByHandleAndAddressThroughRemovals) {
  ClientList list;
  list.push_back(Client(1, 100));
  list.push_back(Client(2, 200));
  list.push_back(Client(3, 100));  // the same address again
  list.push_back(Client(4, 300));
  EXPECT_EQ(list.FindAddress(100)->handle, 1u) << "the first listed";
  EXPECT_EQ(list.Find(4)->entry.address, 300u);
  EXPECT_EQ(list.Find(9), list.end());
  EXPECT_EQ(list.FindAddress(999), list.end());
  EXPECT_EQ(Walk(list), (std::vector<Handle>{1, 2, 3, 4}));

  list.erase(list.Find(1));
  EXPECT_EQ(list.FindAddress(100)->handle, 3u);
  list.erase(list.FindAddress(100));
  EXPECT_EQ(list.FindAddress(100), list.end());
  EXPECT_FALSE(list.Contains(3));
  EXPECT_EQ(Walk(list), (std::vector<Handle>{2, 4}));
  EXPECT_EQ(list.NextAfter(1), 0u) << "a handle no longer listed leads nowhere";
  EXPECT_EQ(list.NextAfter(4), 0u);

  ClientList moved = std::move(list);  // the indexes move with the entries
  EXPECT_EQ(moved.Find(2)->entry.address, 200u);
  EXPECT_EQ(moved.FindAddress(300)->handle, 4u);
}

TEST(ClientListTest, RefusedCapDropsTheOldestStillListed) {
  ClientList list;
  list.push_back(Client(1, 1, kClientLoggedOn));
  for (Handle h = 10; h < 20; ++h) list.push_back(Client(h, h, kClientRefused));
  list.erase(list.Find(10));  // left by a disconnect
  list.TrimRefused(5);
  EXPECT_EQ(Walk(list), (std::vector<Handle>{1, 15, 16, 17, 18, 19}));
  EXPECT_EQ(list.refused(), 5u);
  // Many more come and go by other ways meanwhile: the cap still counts and
  // drops only those listed, oldest first.
  for (Handle h = 100; h < 10000; ++h) {
    list.push_back(Client(h, h, kClientRefused));
    list.erase(list.Find(h));
    list.TrimRefused(5);
  }
  list.push_back(Client(20000, 20000, kClientRefused));
  list.TrimRefused(5);
  EXPECT_EQ(Walk(list), (std::vector<Handle>{1, 16, 17, 18, 19, 20000}));
}

// An entry whose state changes in place counts as refused only while it is,
// and refused again it is the newest refusal, not one from its first time.
TEST(ClientListTest, RefusedCapFollowsStateChanges) {
  ClientList list;
  for (Handle h = 1; h <= 3; ++h) list.push_back(Client(h, h, kClientRefused));
  auto first = list.Find(1);
  first->entry.state = kClientLoggedOn;
  list.StateChanged(first);
  EXPECT_EQ(list.refused(), 2u);
  first->entry.state = kClientRefused;
  list.StateChanged(first);
  list.StateChanged(first);  // told twice: counted once
  list.push_back(Client(4, 4, kClientRefused));
  EXPECT_EQ(list.refused(), 4u);
  list.TrimRefused(3);
  EXPECT_EQ(Walk(list), (std::vector<Handle>{1, 3, 4})) << "2 was refused longest";

  auto third = list.Find(3);
  third->entry.state = kClientLoggedOn;
  list.StateChanged(third);
  list.TrimRefused(0);
  EXPECT_EQ(Walk(list), (std::vector<Handle>{3})) << "logged on: not the cap's";
  EXPECT_EQ(list.refused(), 0u);
}

}  // namespace
}  // namespace quensaria::registry
