#include "service/engine/engine_stats.h"

#include <algorithm>
#include <bit>
#include <new>

#include "shared/block_protocol.h"

namespace quensaria::engine {

namespace latency {

namespace {
constexpr int kFirstShift = 4;  // 16 = 2^4: where the doublings begin
constexpr uint64_t kLongest = uint64_t{1} << 30;
}  // namespace

int BucketOf(uint64_t micros) {
  if (micros < kExactBuckets) return static_cast<int>(micros);
  if (micros >= kLongest) return kBuckets - 1;
  const int shift = std::bit_width(micros) - 1;  // 4..29
  const int step = static_cast<int>(micros >> (shift - 3)) - kStepsPerDoubling;
  return kExactBuckets + (shift - kFirstShift) * kStepsPerDoubling + step;
}

uint64_t BucketLow(int bucket) {
  if (bucket < kExactBuckets) return static_cast<uint64_t>(bucket);
  const int shift = kFirstShift + (bucket - kExactBuckets) / kStepsPerDoubling;
  const uint64_t step = (bucket - kExactBuckets) % kStepsPerDoubling;
  return (kStepsPerDoubling + step) << (shift - 3);
}

uint64_t BucketValue(int bucket) {
  if (bucket < kExactBuckets) return static_cast<uint64_t>(bucket);
  const int shift = kFirstShift + (bucket - kExactBuckets) / kStepsPerDoubling;
  return BucketLow(bucket) + ((uint64_t{1} << (shift - 3)) - 1) / 2;
}

uint64_t Quantile(const std::array<uint64_t, kBuckets>& counts, uint64_t total, int percent) {
  if (total == 0) return 0;
  const uint64_t rank = std::max<uint64_t>(1, (total * static_cast<uint64_t>(percent) + 99) / 100);
  uint64_t seen = 0;
  for (int bucket = 0; bucket < kBuckets; ++bucket) {
    seen += counts[bucket];
    if (seen >= rank) return BucketValue(bucket);
  }
  return BucketValue(kBuckets - 1);  // counts summed while they changed
}

}  // namespace latency

struct alignas(64) EngineStats::Slot {
  std::atomic<uint64_t> reads{0}, writes{0}, others{0};
  std::atomic<uint64_t> bytes_read{0}, bytes_written{0};
  std::atomic<uint64_t> errors{0}, refused{0};
  std::atomic<uint64_t> latency_sum{0};
  std::atomic<uint64_t> cache_hits{0}, cache_fills{0};
  struct Interval {
    std::atomic<int64_t> number{-1};  // which 10 seconds it counts
    std::array<std::atomic<uint32_t>, latency::kBuckets> counts{};
  };
  std::array<Interval, kStatsIntervals> ring;
};

namespace {

using std::memory_order_acquire;
using std::memory_order_relaxed;
using std::memory_order_release;

std::atomic<uint64_t> next_id{1};

// The slot this thread counts in, and whose it is.
struct ThreadSlot {
  uint64_t owner = 0;
  void* slot = nullptr;
};
thread_local ThreadSlot this_thread_slot;

int64_t IntervalOf(StatsClock::time_point t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count() /
         kStatsInterval.count();
}

void Add(std::atomic<uint64_t>& counter, uint64_t n) { counter.fetch_add(n, memory_order_relaxed); }

}  // namespace

EngineStats::EngineStats()
    : id_(next_id.fetch_add(1, memory_order_relaxed)),
      started_at_(std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count()),
      shared_(std::make_unique<Slot>()) {}

EngineStats::~EngineStats() {
  for (std::atomic<Slot*>& slot : slots_) delete slot.load(memory_order_relaxed);
}

EngineStats::Slot& EngineStats::MySlot() {
  if (this_thread_slot.owner == id_) return *static_cast<Slot*>(this_thread_slot.slot);
  Slot* slot = shared_.get();
  const int index = claimed_.fetch_add(1, memory_order_relaxed);
  if (index < kMaxSlots) {
    Slot* own = new (std::nothrow) Slot;
    if (own != nullptr) slot = own;
    // A slot that could not be made stays empty; Sum skips it.
    slots_[index].store(own, memory_order_release);
  }
  this_thread_slot = {id_, slot};
  return *slot;
}

void EngineStats::Answered(uint8_t command, uint16_t status, uint32_t length,
                           StatsClock::time_point started, StatsClock::time_point now) {
  Slot& slot = MySlot();
  const bool ok = status == REPLY_OK;
  switch (command) {
    case CMD_READ:
      Add(slot.reads, 1);
      if (ok) Add(slot.bytes_read, length);
      break;
    case CMD_WRITE:
      Add(slot.writes, 1);
      if (ok) Add(slot.bytes_written, length);
      break;
    default:
      Add(slot.others, 1);
      break;
  }
  if (!ok) Add(slot.errors, 1);

  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now - started).count();
  const uint64_t latency = micros > 0 ? static_cast<uint64_t>(micros) : 0;
  Add(slot.latency_sum, latency);
  const int64_t number = IntervalOf(now);
  Slot::Interval& interval = slot.ring[number % kStatsIntervals];
  if (interval.number.load(memory_order_relaxed) != number) {
    // Sixty seconds on: this interval starts again. Readers skip it until
    // its new number is out, after the zeros.
    interval.number.store(-1, memory_order_release);
    for (std::atomic<uint32_t>& count : interval.counts) count.store(0, memory_order_relaxed);
    interval.number.store(number, memory_order_release);
  }
  interval.counts[latency::BucketOf(latency)].fetch_add(1, memory_order_relaxed);
}

void EngineStats::EndedByClose() { Add(MySlot().errors, 1); }
void EngineStats::RefusedConnection() { Add(MySlot().refused, 1); }
void EngineStats::CacheHit() { Add(MySlot().cache_hits, 1); }
void EngineStats::CacheFill() { Add(MySlot().cache_fills, 1); }

void EngineStats::Sum(ServerStats& stats, StatsClock::time_point now) const {
  std::array<uint64_t, latency::kBuckets> counts{};
  uint64_t recent = 0;
  const int64_t current = IntervalOf(now);
  stats.StartedAt = started_at_;
  stats.Reads = stats.Writes = stats.OtherRequests = 0;
  stats.BytesRead = stats.BytesWritten = stats.Errors = stats.RefusedConnections = 0;
  stats.LatencySumMicros = stats.CacheHits = stats.CacheFills = 0;
  const auto add = [&](const Slot& slot) {
    stats.Reads += slot.reads.load(memory_order_relaxed);
    stats.Writes += slot.writes.load(memory_order_relaxed);
    stats.OtherRequests += slot.others.load(memory_order_relaxed);
    stats.BytesRead += slot.bytes_read.load(memory_order_relaxed);
    stats.BytesWritten += slot.bytes_written.load(memory_order_relaxed);
    stats.Errors += slot.errors.load(memory_order_relaxed);
    stats.RefusedConnections += slot.refused.load(memory_order_relaxed);
    stats.LatencySumMicros += slot.latency_sum.load(memory_order_relaxed);
    stats.CacheHits += slot.cache_hits.load(memory_order_relaxed);
    stats.CacheFills += slot.cache_fills.load(memory_order_relaxed);
    for (const Slot::Interval& interval : slot.ring) {
      const int64_t number = interval.number.load(memory_order_acquire);
      if (number < 0 || number > current || number <= current - kStatsIntervals) continue;
      for (int bucket = 0; bucket < latency::kBuckets; ++bucket) {
        const uint32_t n = interval.counts[bucket].load(memory_order_relaxed);
        counts[bucket] += n;
        recent += n;
      }
    }
  };
  add(*shared_);
  const int claimed = std::min(claimed_.load(memory_order_relaxed), kMaxSlots);
  for (int i = 0; i < claimed; ++i) {
    if (const Slot* slot = slots_[i].load(memory_order_acquire)) add(*slot);
  }
  stats.RecentRequests = static_cast<uint32_t>(std::min<uint64_t>(recent, UINT32_MAX));
  const auto clamp = [](uint64_t micros) {
    return static_cast<uint32_t>(std::min<uint64_t>(micros, UINT32_MAX));
  };
  stats.LatencyP50Micros = clamp(latency::Quantile(counts, recent, 50));
  stats.LatencyP99Micros = clamp(latency::Quantile(counts, recent, 99));
}

}  // namespace quensaria::engine
