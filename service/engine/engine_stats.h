// EngineStats: the live figures of one engine, counted on the request path
// without a lock. Each thread that counts gets a slot of its own (64-byte
// aligned, so no two threads write one cache line) on its first count, and
// adds to it with relaxed atomics; Sum adds the slots up when asked, from
// any thread. Counting never allocates after a thread's first count.
//
// Latencies go into a log-linear histogram per slot (16 exact buckets of
// 1 us, then 8 per power of two, up to about 18 minutes), one histogram per
// 10-second interval in a ring of six: the quantiles cover the last 50 to 60
// seconds. A slot's histogram is begun anew by the thread that owns it, so
// the figures of an interval just begun may lag a few counts behind while a
// reader sums; the running totals are always exact.
#ifndef QUENSARIA_SERVICE_ENGINE_ENGINE_STATS_H_
#define QUENSARIA_SERVICE_ENGINE_ENGINE_STATS_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "shared/management_records.h"

namespace quensaria::engine {

using StatsClock = std::chrono::steady_clock;

// The latency histogram's buckets, in microseconds.
namespace latency {
inline constexpr int kExactBuckets = 16;
inline constexpr int kStepsPerDoubling = 8;
inline constexpr int kBuckets = 224;  // the last one also holds everything longer
int BucketOf(uint64_t micros);
// The smallest value of a bucket and the value a quantile in it reports
// (the middle of its range).
uint64_t BucketLow(int bucket);
uint64_t BucketValue(int bucket);
// The value of the bucket that holds the `percent` (1..100) percentile of
// the `total` counts (the nearest rank), or 0 when `total` is 0.
uint64_t Quantile(const std::array<uint64_t, kBuckets>& counts, uint64_t total, int percent);
}  // namespace latency

inline constexpr auto kStatsInterval = std::chrono::seconds(10);
inline constexpr int kStatsIntervals = 6;  // the last minute

class EngineStats {
 public:
  EngineStats();
  ~EngineStats();
  EngineStats(const EngineStats&) = delete;
  EngineStats& operator=(const EngineStats&) = delete;

  // A request answered with `status`, whose first byte came in at `started`
  // and whose reply went out whole at `now`; `length` is its header's.
  void Answered(uint8_t command, uint16_t status, uint32_t length, StatsClock::time_point started,
                StatsClock::time_point now);
  // A request that ended its connection instead of an answer.
  void EndedByClose();
  void RefusedConnection();
  void CacheHit();
  void CacheFill();
  // Makes the calling thread's slot now (a worker, as it starts), so that
  // no request it serves later pays for the allocation.
  void Join() { (void)MySlot(); }

  // Fills the fields the engine counts (StartedAt, the request, byte,
  // error and cache counters, the latencies; not RecordSize, Running,
  // OnlineClients or Connections) with the sums as of `now`.
  void Sum(ServerStats& stats, StatsClock::time_point now = StatsClock::now()) const;

  // Threads with a slot of their own (the workers need 32 at most); any
  // later ones share one, where a beginning interval may lose a few counts.
  static constexpr int kMaxSlots = 40;

 private:
  struct Slot;
  Slot& MySlot();

  const uint64_t id_;  // tells this engine's slots from an earlier one's at the same address
  const int64_t started_at_;
  std::atomic<int> claimed_{0};
  std::array<std::atomic<Slot*>, kMaxSlots> slots_{};
  std::unique_ptr<Slot> shared_;  // when slots run out or cannot be made
};

}  // namespace quensaria::engine

#endif  // QUENSARIA_SERVICE_ENGINE_ENGINE_STATS_H_
