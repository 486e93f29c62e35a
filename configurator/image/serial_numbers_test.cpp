#include "configurator/image/serial_numbers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace quensaria::configurator {
namespace {

// The C runtime's rand() from its unseeded start.
TEST(RandSequence, GivesTheRuntimeSequenceFromSeedOne) {
  RandSequence sequence;
  const uint32_t expected[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358, 26962, 24464};
  for (uint32_t value : expected) EXPECT_EQ(sequence.Next(), value);
}

TEST(RandSequence, StaysWithinFifteenBits) {
  RandSequence sequence;
  for (int i = 0; i < 100000; ++i) ASSERT_LE(sequence.Next(), 0x7FFFu);
}

TEST(RandSequence, SharedByThreadsGivesEachValueOnce) {
  constexpr int kPerThread = 20000;
  RandSequence reference;
  std::vector<uint32_t> expected;
  for (int i = 0; i < 2 * kPerThread; ++i) expected.push_back(reference.Next());

  RandSequence shared;
  std::vector<uint32_t> a, b;
  {
    std::jthread ta([&] {
      for (int i = 0; i < kPerThread; ++i) a.push_back(shared.Next());
    });
    std::jthread tb([&] {
      for (int i = 0; i < kPerThread; ++i) b.push_back(shared.Next());
    });
  }
  a.insert(a.end(), b.begin(), b.end());
  std::sort(a.begin(), a.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(a, expected);
}

}  // namespace
}  // namespace quensaria::configurator
