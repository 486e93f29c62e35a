// The figures an engine keeps: what each answer adds, the latency histogram
// and its quantiles, the one-minute window, and exact totals while many
// threads count and another sums.
#include "service/engine/engine_stats.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "shared/block_protocol.h"

namespace quensaria::engine {
namespace {

using namespace std::chrono_literals;

// A moment at the start of a 10-second interval.
const StatsClock::time_point kT0{std::chrono::seconds(1'000'000)};

ServerStats SumAt(const EngineStats& stats, StatsClock::time_point now) {
  ServerStats figures{};
  stats.Sum(figures, now);
  return figures;
}

TEST(LatencyHistogramTest, BucketsAreExactBelow16ThenAnEighthOfADoublingWide) {
  for (uint64_t v = 0; v < 16; ++v) EXPECT_EQ(latency::BucketOf(v), static_cast<int>(v));
  // Every value lies in its bucket, buckets follow each other without gaps,
  // and no bucket from 16 up is wider than an eighth of its low end.
  int previous = -1;
  for (uint64_t v = 0; v < (uint64_t{1} << 30); v = v < 4096 ? v + 1 : v + v / 97) {
    const int bucket = latency::BucketOf(v);
    ASSERT_GE(bucket, previous) << v;
    ASSERT_LE(bucket, previous + 1) << v;
    previous = bucket;
    const uint64_t low = latency::BucketLow(bucket);
    const uint64_t next = latency::BucketLow(bucket + 1);
    ASSERT_LE(low, v);
    ASSERT_LT(v, next);
    if (v >= 16) {
      ASSERT_LE((next - low) * 8, low) << v;
    }
    ASSERT_GE(latency::BucketValue(bucket), low);
    ASSERT_LT(latency::BucketValue(bucket), next);
  }
  EXPECT_EQ(previous, latency::kBuckets - 1);
  // Everything longer than about 18 minutes shares the last bucket.
  EXPECT_EQ(latency::BucketOf(uint64_t{1} << 30), latency::kBuckets - 1);
  EXPECT_EQ(latency::BucketOf(UINT64_MAX), latency::kBuckets - 1);
}

TEST(LatencyHistogramTest, QuantilesAreTheNearestRanksBucket) {
  std::array<uint64_t, latency::kBuckets> counts{};
  EXPECT_EQ(latency::Quantile(counts, 0, 50), 0u);
  const auto near = [](uint64_t got, uint64_t value) {
    return got * 8 >= value * 7 && got * 8 <= value * 9;
  };
  // Of 200 requests the 198th fastest is the 99th percentile.
  const struct {
    uint64_t slow;
    uint64_t p99;
  } rows[] = {{1, 100}, {2, 100}, {3, 10'000}, {200, 10'000}};
  for (const auto& row : rows) {
    counts = {};
    counts[latency::BucketOf(100)] = 200 - row.slow;
    counts[latency::BucketOf(10'000)] = row.slow;
    EXPECT_TRUE(near(latency::Quantile(counts, 200, 99), row.p99)) << row.slow;
    EXPECT_TRUE(near(latency::Quantile(counts, 200, 50), row.slow > 100 ? 10'000 : 100));
    EXPECT_TRUE(near(latency::Quantile(counts, 200, 100), 10'000));
  }
  counts = {};
  counts[0] = 1;
  EXPECT_EQ(latency::Quantile(counts, 1, 1), 0u);
}

TEST(EngineStatsTest, EachAnswerCountsByCommandAndStatus) {
  EngineStats stats;
  const auto answer = [&](uint8_t command, uint16_t status, uint32_t length) {
    stats.Answered(command, status, length, kT0, kT0 + 250us);
  };
  answer(CMD_READ, REPLY_OK, 65536);
  answer(CMD_READ, REPLY_OK, 512);
  answer(CMD_READ, REPLY_DENIED, 4096);  // refused: an error, no bytes
  answer(CMD_READ, 0x0017, 4096);        // an operating-system error's low bits
  answer(CMD_WRITE, REPLY_OK, 8192);
  answer(CMD_WRITE, REPLY_FAILED, 8192);
  answer(CMD_LOGIN, REPLY_OK, 0);
  answer(CMD_LOGIN, REPLY_DENIED, 0);
  answer(CMD_QUERY, REPLY_OK, 0);
  stats.EndedByClose();
  stats.RefusedConnection();
  stats.CacheHit();
  stats.CacheHit();
  stats.CacheFill();

  const ServerStats figures = SumAt(stats, kT0 + 1s);
  EXPECT_EQ(figures.Reads, 4u);
  EXPECT_EQ(figures.Writes, 2u);
  EXPECT_EQ(figures.OtherRequests, 3u);
  EXPECT_EQ(figures.BytesRead, 65536u + 512u);
  EXPECT_EQ(figures.BytesWritten, 8192u);
  EXPECT_EQ(figures.Errors, 5u);
  EXPECT_EQ(figures.RefusedConnections, 1u);
  EXPECT_EQ(figures.CacheHits, 2u);
  EXPECT_EQ(figures.CacheFills, 1u);
  EXPECT_EQ(figures.RecentRequests, 9u);
  EXPECT_EQ(figures.LatencySumMicros, 9u * 250u);
  EXPECT_GE(figures.LatencyP50Micros, 224u);
  EXPECT_LE(figures.LatencyP50Micros, 255u);
  EXPECT_EQ(figures.LatencyP99Micros, figures.LatencyP50Micros);
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  EXPECT_LE(figures.StartedAt, now);
  EXPECT_GT(figures.StartedAt, now - 60);
}

TEST(EngineStatsTest, LatenciesCountForAMinuteThenLeaveTheWindow) {
  EngineStats stats;
  stats.Answered(CMD_READ, REPLY_OK, 512, kT0, kT0 + 40ms);
  stats.Answered(CMD_READ, REPLY_OK, 512, kT0 + 20s, kT0 + 20s + 2ms);
  EXPECT_EQ(SumAt(stats, kT0 + 59s).RecentRequests, 2u);
  // The first interval's sixty seconds are over; the second's are not.
  ServerStats figures = SumAt(stats, kT0 + 60s);
  EXPECT_EQ(figures.RecentRequests, 1u);
  EXPECT_GE(figures.LatencyP99Micros, 1800u);
  EXPECT_LE(figures.LatencyP99Micros, 2200u);
  EXPECT_EQ(SumAt(stats, kT0 + 80s).RecentRequests, 0u);
  EXPECT_EQ(SumAt(stats, kT0 + 80s).LatencyP50Micros, 0u);
  // A request sixty seconds on takes the first one's place in the ring,
  // which starts empty; the totals keep everything.
  stats.Answered(CMD_WRITE, REPLY_OK, 512, kT0 + 60s, kT0 + 60s + 9us);
  figures = SumAt(stats, kT0 + 65s);
  EXPECT_EQ(figures.RecentRequests, 2u);
  EXPECT_EQ(figures.LatencyP50Micros, 9u);
  EXPECT_EQ(figures.Reads + figures.Writes, 3u);
  // A reply that seems to precede its request (a clock step) counts as 0.
  stats.Answered(CMD_QUERY, REPLY_OK, 0, kT0 + 70s, kT0 + 69s);
  EXPECT_EQ(SumAt(stats, kT0 + 70s).LatencySumMicros, 40'000u + 2'000u + 9u);
}

// Workers count while the management interface sums: every sum lies between
// the counts made before it and those made by its end, and the last one is
// exact, also with more threads than slots of their own.
TEST(EngineStatsTest, ManyThreadsCountExactlyWhileAnotherSums) {
  for (const int threads : {8, EngineStats::kMaxSlots + 10}) {
    EngineStats stats;
    constexpr int kEach = 4000;
    std::atomic<bool> done{false};
    std::thread reader([&] {
      uint64_t last = 0;
      while (!done.load()) {
        const ServerStats figures = SumAt(stats, StatsClock::now());
        EXPECT_GE(figures.Reads, last);
        EXPECT_LE(figures.Reads, uint64_t{kEach} * threads);
        last = figures.Reads;
      }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&] {
        for (int i = 0; i < kEach; ++i) {
          const StatsClock::time_point now = StatsClock::now();
          stats.Answered(CMD_READ, REPLY_OK, 4096, now - 3us, now);
          if (i % 4 == 0) stats.CacheHit();
        }
      });
    }
    for (std::thread& worker : workers) worker.join();
    done = true;
    reader.join();
    const ServerStats figures = SumAt(stats, StatsClock::now());
    EXPECT_EQ(figures.Reads, uint64_t{kEach} * threads) << threads;
    EXPECT_EQ(figures.BytesRead, uint64_t{kEach} * threads * 4096) << threads;
    EXPECT_EQ(figures.CacheHits, uint64_t{kEach / 4} * threads) << threads;
    EXPECT_EQ(figures.Errors, 0u);
  }
}

// A thread that counts for two engines in turn counts each in its own.
TEST(EngineStatsTest, EnginesCountApartOnOneThread) {
  auto first = std::make_unique<EngineStats>();
  auto second = std::make_unique<EngineStats>();
  for (int i = 0; i < 3; ++i) {
    first->CacheHit();
    second->CacheFill();
  }
  EXPECT_EQ(SumAt(*first, kT0).CacheHits, 3u);
  EXPECT_EQ(SumAt(*first, kT0).CacheFills, 0u);
  EXPECT_EQ(SumAt(*second, kT0).CacheFills, 3u);
  // A new engine where the old one was starts from nothing.
  first.reset();
  auto third = std::make_unique<EngineStats>();
  third->RefusedConnection();
  EXPECT_EQ(SumAt(*third, kT0).RefusedConnections, 1u);
  EXPECT_EQ(SumAt(*third, kT0).CacheHits, 0u);
}

}  // namespace
}  // namespace quensaria::engine
