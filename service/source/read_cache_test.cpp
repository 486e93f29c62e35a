#include "service/source/read_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "service/source/memory_io_for_testing.h"
#include "shared/win32_error.h"

namespace quensaria::source {
namespace {

constexpr uint64_t kMiB = 1 << 20;

uint8_t Pattern(uint64_t offset) { return static_cast<uint8_t>((offset >> 9) * 31 + offset); }

std::vector<uint8_t> PatternBytes(uint64_t size) {
  std::vector<uint8_t> bytes(size);
  for (uint64_t i = 0; i < size; ++i) bytes[i] = Pattern(i);
  return bytes;
}

class ReadCacheTest : public ::testing::Test {
 protected:
  void Make(uint32_t capacity, uint64_t size = 64 * kMiB) {
    expected_ = PatternBytes(size);
    io_ = std::make_unique<MemoryIo>(expected_);
    cache_ = std::make_unique<ReadCache>(capacity, *io_);
  }

  // Looks up `length` bytes at `offset`; on a hit checks they are the
  // source's bytes.
  bool Lookup(uint64_t offset, uint32_t length) {
    std::vector<uint8_t> out(length);
    if (!cache_->Lookup(offset, length, out.data())) return false;
    for (uint32_t i = 0; i < length; ++i) {
      EXPECT_EQ(out[i], expected_at(offset + i)) << "offset " << offset + i;
      if (out[i] != expected_at(offset + i)) break;
    }
    return true;
  }

  uint8_t expected_at(uint64_t offset) const { return expected_[offset]; }
  int cache_reads() const { return io_->counts().cache_reads; }
  std::vector<uint64_t> Starts() const {
    std::vector<uint64_t> starts;
    for (const auto& b : cache_->Blocks()) starts.push_back(b.first_byte);
    return starts;
  }
  std::vector<uint32_t> Scores() const {
    std::vector<uint32_t> scores;
    for (const auto& b : cache_->Blocks()) scores.push_back(b.score);
    return scores;
  }
  // Fills blocks at 0, 2, 4, ... MiB (apart, so no read hits another block).
  void FillBlocks(int count) {
    for (int i = 0; i < count; ++i) ASSERT_TRUE(Lookup(2 * kMiB * i, 512));
  }
  void FailFills(bool fail) {
    MemoryIo::Faults faults;
    faults.cache_read_error = fail ? ERROR_READ_FAULT : 0;
    io_->SetFaults(faults);
  }

  std::vector<uint8_t> expected_;  // what the source holds
  std::unique_ptr<MemoryIo> io_;
  std::unique_ptr<ReadCache> cache_;
};

TEST_F(ReadCacheTest, MissFillsOneMiBFromTheReadsOwnOffset) {
  Make(10);
  const uint64_t x = 5 * kMiB + 4096 * 3;
  ASSERT_TRUE(Lookup(x, 4096));
  EXPECT_EQ(Starts(), std::vector<uint64_t>{x});
  EXPECT_EQ(Scores(), std::vector<uint32_t>{512});
  const int reads = cache_reads();

  // Inside the block, up to its last byte: hits without touching the source.
  ASSERT_TRUE(Lookup(x + 4096, 4096));
  ASSERT_TRUE(Lookup(x + kMiB - 65536, 65536));
  EXPECT_EQ(cache_reads(), reads);
  EXPECT_EQ(Scores(), std::vector<uint32_t>{512 + 2 * 512});
}

TEST_F(ReadCacheTest, ReadsStartingBeforeOrEndingAfterABlockMissIt) {
  Make(10);
  const uint64_t x = 8 * kMiB;
  ASSERT_TRUE(Lookup(x, 4096));
  ASSERT_TRUE(Lookup(x - 512, 512));          // one sector before: a new block
  ASSERT_TRUE(Lookup(x + kMiB - 512, 1024));  // runs past the first block's end
  EXPECT_EQ(Starts(), (std::vector<uint64_t>{x + kMiB - 512, x - 512, x}));
}

TEST_F(ReadCacheTest, EveryMissAgesEveryBlockByOne) {
  Make(10);
  FillBlocks(3);
  EXPECT_EQ(Scores(), (std::vector<uint32_t>{512, 511, 510}));
  ASSERT_TRUE(Lookup(2 * kMiB + 100, 100));  // a hit ages nothing
  EXPECT_EQ(Scores(), (std::vector<uint32_t>{512, 511 + 512, 510}));
}

TEST_F(ReadCacheTest, WithCacheZeroTheEleventhMissDoesNotFill) {
  Make(0 + 10);
  FillBlocks(10);
  const int reads = cache_reads();
  EXPECT_FALSE(Lookup(40 * kMiB, 4096));
  EXPECT_EQ(cache_reads(), reads);
  EXPECT_EQ(cache_->Blocks().size(), 10u);
}

TEST_F(ReadCacheTest, ProtectedPositionsAreNeverEvicted) {
  for (uint32_t capacity : {10u, 11u}) {
    SCOPED_TRACE(capacity);
    Make(capacity);
    FillBlocks(static_cast<int>(capacity));
    for (int i = 0; i < 1200; ++i) ASSERT_FALSE(Lookup(60 * kMiB, 512));
    EXPECT_EQ(cache_->Blocks().size(), capacity);
    // Scores run out at 0 rather than wrapping round.
    for (uint32_t score : Scores()) EXPECT_EQ(score, 0u);
  }
}

TEST_F(ReadCacheTest, FirstBlockPastPositionTenToRunOutIsEvictedAndItsRoomRefilled) {
  Make(13);
  FillBlocks(13);  // scores 512 (newest) .. 500 (oldest, position 12)
  const std::vector<uint64_t> before = Starts();
  for (int i = 0; i < 499; ++i) ASSERT_FALSE(Lookup(60 * kMiB, 512));
  EXPECT_EQ(Starts(), before);
  // The 500th miss takes the oldest to 0: it goes, and the miss fills.
  ASSERT_TRUE(Lookup(60 * kMiB, 512));
  std::vector<uint64_t> after = Starts();
  ASSERT_EQ(after.size(), 13u);
  EXPECT_EQ(after.front(), 60 * kMiB);
  after.erase(after.begin());
  EXPECT_EQ(after, std::vector<uint64_t>(before.begin(), before.end() - 1));
}

TEST_F(ReadCacheTest, ABlockThatRanOutWhileProtectedGoesOnceItIsPastPositionTen) {
  Make(12);
  FillBlocks(11);
  const uint64_t oldest = Starts().back();
  FailFills(true);
  for (int i = 0; i < 600; ++i) ASSERT_FALSE(Lookup(60 * kMiB, 512));
  FailFills(false);
  ASSERT_TRUE(Lookup(62 * kMiB, 512));  // twelfth block; the oldest is now at 11
  ASSERT_EQ(Starts().back(), oldest);
  ASSERT_TRUE(Lookup(50 * kMiB, 512));  // its score is 0: evicted, room refilled
  const std::vector<uint64_t> starts = Starts();
  EXPECT_EQ(starts.size(), 12u);
  EXPECT_EQ(std::count(starts.begin(), starts.end(), oldest), 0);
}

TEST_F(ReadCacheTest, HitsRaiseTheScoreUpToTheCapOnly) {
  Make(10);
  ASSERT_TRUE(Lookup(0, 1));
  uint8_t byte;
  for (int i = 0; i < 8388360; ++i) ASSERT_TRUE(cache_->Lookup(7, 1, &byte));
  const uint32_t score = Scores().front();
  EXPECT_GE(score, kCacheScoreCap);
  EXPECT_LT(score, kCacheScoreCap + 512);
  ASSERT_TRUE(cache_->Lookup(7, 1, &byte));
  EXPECT_EQ(Scores().front(), score);
}

TEST_F(ReadCacheTest, FailedFillIsASilentMiss) {
  Make(10);
  FailFills(true);
  EXPECT_FALSE(Lookup(0, 4096));
  EXPECT_TRUE(cache_->Blocks().empty());
}

TEST_F(ReadCacheTest, FillThatReachesTheEndOfTheSourceIsAMiss) {
  Make(10, 3 * kMiB + kMiB / 2);
  EXPECT_FALSE(Lookup(3 * kMiB, 4096));
  EXPECT_TRUE(cache_->Blocks().empty());
  EXPECT_TRUE(Lookup(2 * kMiB + kMiB / 2, 4096));  // ends exactly at the end
}

TEST_F(ReadCacheTest, FillGoesOnAfterShortReads) {
  Make(10);
  MemoryIo::Faults faults;
  faults.max_transfer = 100000;
  io_->SetFaults(faults);
  ASSERT_TRUE(Lookup(3 * kMiB + 512, 4096));
  EXPECT_EQ(cache_reads(), 11);        // ceil(1 MiB / 100000)
  EXPECT_TRUE(Lookup(4 * kMiB, 512));  // the last bytes of the block are right too
  EXPECT_EQ(cache_->Blocks().size(), 1u);
}

class ReadCacheUpdateTest : public ReadCacheTest {
 protected:
  // Writes `length` bytes of `value` at `offset` to the source and the cache,
  // as the write path does.
  void Write(uint64_t offset, uint32_t length, uint8_t value) {
    std::vector<uint8_t> data(length, value);
    ASSERT_EQ(io_->Write(offset, data.data(), length).bytes, length);
    std::fill_n(expected_.begin() + static_cast<ptrdiff_t>(offset), length, value);
    cache_->Update(offset, length, data.data());
  }
};

// What the engine counts: a fill is told apart from a hit; a miss is neither.
TEST_F(ReadCacheTest, LookupTellsAFillFromAHit) {
  Make(1);
  std::vector<uint8_t> out(4096);
  bool filled = false;
  ASSERT_TRUE(cache_->Lookup(kMiB, 4096, out.data(), &filled));
  EXPECT_TRUE(filled);
  filled = false;
  ASSERT_TRUE(cache_->Lookup(kMiB + 8192, 4096, out.data(), &filled));
  EXPECT_FALSE(filled);
  EXPECT_FALSE(cache_->Lookup(5 * kMiB, 4096, out.data(), &filled));  // full: a miss
  EXPECT_FALSE(filled);
  EXPECT_EQ(cache_reads(), 1);
}

TEST_F(ReadCacheUpdateTest, CachedBlocksSeeWrites) {
  Make(10);
  ASSERT_TRUE(Lookup(kMiB, 4096));
  Write(kMiB + 8192, 1024, 0xAB);
  EXPECT_TRUE(Lookup(kMiB + 8192 - 512, 2048));  // checked against the source
  EXPECT_EQ(Starts().size(), 1u);
}

TEST_F(ReadCacheUpdateTest, WritesNeverAddBlocks) {
  Make(10);
  Write(0, 4096, 1);
  EXPECT_TRUE(cache_->Blocks().empty());
}

TEST_F(ReadCacheUpdateTest, EveryOverlappingBlockSeesTheWrite) {
  Make(10);
  // An older block [0, 1 MiB) and a newer one from 1 MiB - 32 KiB overlap.
  ASSERT_TRUE(Lookup(0, 4096));
  ASSERT_TRUE(Lookup(kMiB - 32768, 65536));
  Write(kMiB - 16384, 4096, 0x5C);
  // Held whole by the older block only: must not be stale.
  EXPECT_TRUE(Lookup(kMiB - 65536, 65536));
  EXPECT_TRUE(Lookup(kMiB - 32768, 65536));
}

TEST_F(ReadCacheUpdateTest, WritesAcrossABlockEdgeAndOfOddLengthChangeOnlyTheirBytes) {
  Make(10);
  ASSERT_TRUE(Lookup(kMiB + 100, 512));    // a block that starts off the sector grid
  Write(kMiB, 1000, 0x11);                 // begins before the block
  Write(2 * kMiB + 100 - 300, 777, 0x22);  // runs past the block's end
  Write(kMiB + 5000, 3, 0x33);             // three bytes only
  EXPECT_TRUE(Lookup(kMiB + 100, 4096));
  EXPECT_TRUE(Lookup(kMiB + 100 + kMiB - 8192, 8192));
}

TEST_F(ReadCacheTest, HitServesOnlyWhatABlockHoldsAndNeverReadsOrAges) {
  Make(10);
  std::vector<uint8_t> out(4096);
  EXPECT_FALSE(cache_->Hit(kMiB, 4096, out.data()));
  EXPECT_EQ(cache_reads(), 0);
  EXPECT_TRUE(cache_->Blocks().empty());
  ASSERT_TRUE(Lookup(kMiB, 4096));
  ASSERT_TRUE(Lookup(4 * kMiB, 4096));
  const std::vector<uint32_t> scores = Scores();
  EXPECT_FALSE(cache_->Hit(2 * kMiB, 4096, out.data()));  // between the blocks
  EXPECT_EQ(Scores(), scores);
  ASSERT_TRUE(cache_->Hit(kMiB + 8192, 4096, out.data()));
  EXPECT_EQ(out[7], expected_at(kMiB + 8192 + 7));
  EXPECT_EQ(Scores(), (std::vector<uint32_t>{scores[0], scores[1] + 512}));
  EXPECT_EQ(cache_reads(), 2);
}

// A source whose cache reads wait at a gate until the test opens it, so a
// test can act while a block is being filled.
class GatedIo final : public SourceIo {
 public:
  explicit GatedIo(MemoryIo& inner) : inner_(inner) {}
  IoResult Read(uint64_t o, uint8_t* d, size_t n) override { return inner_.Read(o, d, n); }
  IoResult Write(uint64_t o, const uint8_t* d, size_t n) override { return inner_.Write(o, d, n); }
  IoResult TryRead(uint64_t o, uint8_t* d, size_t n) override { return inner_.TryRead(o, d, n); }
  IoResult TryWrite(uint64_t o, const uint8_t* d, size_t n) override {
    return inner_.TryWrite(o, d, n);
  }
  bool NoWaitReads() const override { return true; }
  IoResult CacheRead(uint64_t o, uint8_t* d, size_t n) override {
    std::unique_lock lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
    return inner_.CacheRead(o, d, n);
  }
  uint32_t Flush() override { return inner_.Flush(); }
  uint32_t Associate() override { return 0; }
  int HandleValue() const override { return -1; }

  // Waits (up to a minute, so a fault fails instead of hanging) until
  // `count` cache reads have reached the gate.
  bool AwaitWaiting(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::minutes(1), [&] { return waiting_ >= count; });
  }
  void Open() {
    std::scoped_lock lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  MemoryIo& inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_ = 0;
  bool open_ = false;
};

class ReadCacheFillTest : public ReadCacheTest {
 protected:
  void MakeGated(uint32_t capacity) {
    Make(capacity);
    gated_ = std::make_unique<GatedIo>(*io_);
    cache_ = std::make_unique<ReadCache>(capacity, *gated_);
  }
  std::unique_ptr<GatedIo> gated_;
};

TEST_F(ReadCacheFillTest, ReadersOfABlockBeingFilledWaitForItInsteadOfReadingAgain) {
  MakeGated(10);
  std::vector<uint8_t> first(4096), second(4096), other(4096);
  std::atomic<bool> first_hit{false}, second_hit{false};
  std::thread filler([&] { first_hit = cache_->Lookup(kMiB, 4096, first.data()); });
  ASSERT_TRUE(gated_->AwaitWaiting(1));
  // The block's bytes are not there yet: Hit does not wait for them.
  EXPECT_FALSE(cache_->Hit(kMiB, 4096, other.data()));
  std::thread reader([&] { second_hit = cache_->Lookup(kMiB + 65536, 4096, second.data()); });
  gated_->Open();
  filler.join();
  reader.join();
  EXPECT_TRUE(first_hit);
  EXPECT_TRUE(second_hit);
  EXPECT_EQ(cache_reads(), 1);  // one fill served both
  EXPECT_EQ(cache_->Blocks().size(), 1u);
  EXPECT_EQ(first[9], expected_at(kMiB + 9));
  EXPECT_EQ(second[9], expected_at(kMiB + 65536 + 9));
}

TEST_F(ReadCacheFillTest, AWriteDuringAFillKeepsTheBlockOut) {
  MakeGated(10);
  std::vector<uint8_t> out(4096);
  std::atomic<bool> hit{true};
  std::thread filler([&] { hit = cache_->Lookup(2 * kMiB, 4096, out.data()); });
  ASSERT_TRUE(gated_->AwaitWaiting(1));
  // The fill may have read the bytes before this write reached the source.
  std::vector<uint8_t> data(512, 0xE7);
  cache_->Update(2 * kMiB + kMiB - 512, 512, data.data());
  gated_->Open();
  filler.join();
  EXPECT_FALSE(hit);  // the caller reads the source itself
  EXPECT_TRUE(cache_->Blocks().empty());
  // A write that touches no block being filled leaves the next fill alone.
  cache_->Update(40 * kMiB, 512, data.data());
  EXPECT_TRUE(Lookup(2 * kMiB, 4096));
  EXPECT_EQ(cache_->Blocks().size(), 1u);
}

TEST_F(ReadCacheFillTest, FillsInProgressCountAgainstTheCapacity) {
  MakeGated(1);
  std::vector<uint8_t> out(512);
  std::thread filler([&] { EXPECT_TRUE(cache_->Lookup(0, 512, out.data())); });
  ASSERT_TRUE(gated_->AwaitWaiting(1));
  std::vector<uint8_t> other(512);
  EXPECT_FALSE(cache_->Lookup(8 * kMiB, 512, other.data()));  // no room while it fills
  gated_->Open();
  filler.join();
  EXPECT_EQ(cache_->Blocks().size(), 1u);
}

// A partition's cache and its whole disk's share writes at the partition's
// offset on the disk: a write through either reaches the other's blocks
// where the bytes are the same, and only there.
TEST(ReadCacheSharingTest, APartitionAndItsDiskSeeEachOthersWritesAtTheirOwnOffsets) {
  constexpr uint64_t kStart = 8 * kMiB;  // the partition's first byte on the disk
  const std::vector<uint8_t> bytes = PatternBytes(32 * kMiB);
  MemoryIo disk_io(bytes);
  MemoryIo part_io(std::vector<uint8_t>(bytes.begin() + kStart, bytes.begin() + 24 * kMiB));
  ReadCache disk(10, disk_io);
  ReadCache part(10, part_io);
  platform::FileIdentity whole;
  whole.device = 0xFFFF1234;  // a device no other test shares
  disk.ShareWritesWith(whole);
  part.ShareWritesWith(whole, kStart, 16 * kMiB, 0xFFFF1235);

  std::vector<uint8_t> out(kMiB);
  ASSERT_TRUE(part.Lookup(0, 4096, out.data()));              // part [0, 1 MiB)
  ASSERT_TRUE(disk.Lookup(kStart + kMiB, 4096, out.data()));  // disk's of part [1, 2 MiB)
  ASSERT_TRUE(disk.Lookup(kStart - kMiB, 4096, out.data()));  // before the partition

  // Through the disk, across the partition's start.
  const std::vector<uint8_t> a(8192, 0xA1);
  EXPECT_EQ(disk.UpdateAll(kStart - 4096, 8192, a.data()), 0u);
  ASSERT_TRUE(part.Hit(0, 8192, out.data()));
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 4096, [](uint8_t b) { return b == 0xA1; }));
  for (uint64_t i = 4096; i < 8192; ++i) ASSERT_EQ(out[i], Pattern(kStart + i)) << i;
  ASSERT_TRUE(disk.Hit(kStart - 4096, 4096, out.data()));
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 4096, [](uint8_t b) { return b == 0xA1; }));

  // Through the partition: the disk's block at the shifted offset.
  const std::vector<uint8_t> b(512, 0xB2);
  EXPECT_EQ(part.UpdateAll(kMiB + 1024, 512, b.data()), 0u);
  ASSERT_TRUE(disk.Hit(kStart + kMiB + 512, 2048, out.data()));
  for (uint64_t i = 0; i < 2048; ++i) {
    const uint8_t want = i >= 512 && i < 1024 ? 0xB2 : Pattern(kStart + kMiB + 512 + i);
    ASSERT_EQ(out[i], want) << i;
  }
  // Not at the partition's own offset of the disk.
  ASSERT_TRUE(disk.Hit(kStart - kMiB + 4096, 4096, out.data()));
  for (uint64_t i = 0; i < 4096; ++i) ASSERT_EQ(out[i], Pattern(kStart - kMiB + 4096 + i)) << i;

  // Each device has a page cache of its own: the writer's bytes went to the
  // device, and the other's pages of them were dropped; writes of bytes
  // outside the partition cost neither.
  EXPECT_EQ(disk_io.counts().write_outs, 1);
  EXPECT_EQ(part_io.counts().drops, 1);
  EXPECT_EQ(part_io.counts().write_outs, 1);
  EXPECT_EQ(disk_io.counts().drops, 1);
  EXPECT_EQ(disk.UpdateAll(kStart - 8192, 4096, a.data()), 0u);
  EXPECT_EQ(disk.UpdateAll(kStart + 16 * kMiB, 4096, a.data()), 0u);
  EXPECT_EQ(disk_io.counts().write_outs, 1);
  EXPECT_EQ(part_io.counts().drops, 1);

  // Bytes that may not reach the other device make the write fail.
  MemoryIo::Faults faults;
  faults.write_out_error = ERROR_WRITE_FAULT;
  disk_io.SetFaults(faults);
  EXPECT_EQ(disk.UpdateAll(kStart + 4096, 512, b.data()), uint32_t{ERROR_WRITE_FAULT});
}

// Exports of one file share its page cache: their writes cost no more.
TEST(ReadCacheSharingTest, ExportsOfOneFileNeitherWriteOutNorDropPages) {
  MemoryIo first_io(PatternBytes(4 * kMiB));
  MemoryIo second_io(PatternBytes(4 * kMiB));
  ReadCache first(10, first_io);
  ReadCache second(10, second_io);
  platform::FileIdentity file;
  file.device = 0xFFFF1236;
  file.inode = 12;
  first.ShareWritesWith(file);
  second.ShareWritesWith(file);
  std::vector<uint8_t> out(4096);
  ASSERT_TRUE(second.Lookup(kMiB, 4096, out.data()));
  const std::vector<uint8_t> c(512, 0xC3);
  EXPECT_EQ(first.UpdateAll(kMiB + 512, 512, c.data()), 0u);
  ASSERT_TRUE(second.Hit(kMiB + 512, 512, out.data()));
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 512, [](uint8_t v) { return v == 0xC3; }));
  EXPECT_EQ(first_io.counts().write_outs + second_io.counts().drops, 0);
}

}  // namespace
}  // namespace quensaria::source
