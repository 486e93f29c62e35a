#include "driver/write_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace quensaria::driver {
namespace {

constexpr uint64_t kBlock = 512;

// An in-memory slot file that records every operation.
class RecordingStore : public SlotStore {
 public:
  struct Op {
    char kind;  // 'r' or 'w'
    uint64_t offset;
    size_t length;
    bool operator==(const Op&) const = default;
  };

  NtStatus ReadAt(uint8_t* data, size_t length, uint64_t offset) override {
    ops.push_back({'r', offset, length});
    if (!keep_bytes) return STATUS_SUCCESS;
    if (offset + length > bytes.size()) return STATUS_IO_DEVICE_ERROR;
    std::copy_n(bytes.begin() + static_cast<long>(offset), length, data);
    return STATUS_SUCCESS;
  }
  NtStatus WriteAt(const uint8_t* data, size_t length, uint64_t offset) override {
    ops.push_back({'w', offset, length});
    if (fail_writes) return STATUS_DISK_FULL;
    if (!keep_bytes) return STATUS_SUCCESS;
    if (offset + length > bytes.size()) bytes.resize(offset + length);
    std::copy_n(data, length, bytes.begin() + static_cast<long>(offset));
    return STATUS_SUCCESS;
  }

  std::vector<uint8_t> bytes;
  std::vector<Op> ops;
  bool fail_writes = false;
  bool keep_bytes = true;  // false: only the operations are recorded
};

// Blocks whose every byte says which block and which version they are.
std::vector<uint8_t> Blocks(uint64_t first, uint64_t count, uint8_t version) {
  std::vector<uint8_t> data(count * kBlock);
  for (uint64_t b = 0; b < count; ++b) {
    std::fill_n(data.begin() + static_cast<long>(b * kBlock), kBlock,
                static_cast<uint8_t>((first + b) * 16 + version));
  }
  return data;
}

class WriteCacheTest : public ::testing::Test {
 protected:
  // "Server data" of blocks first..first+count-1 overlaid by the cache.
  std::vector<uint8_t> Read(uint64_t first, uint64_t count) {
    std::vector<uint8_t> data = Blocks(first, count, 0);
    EXPECT_EQ(STATUS_SUCCESS, cache_.CacheOverlay(data.data(), first * kBlock, count * kBlock));
    return data;
  }
  void Write(uint64_t first, uint64_t count, uint8_t version) {
    const auto data = Blocks(first, count, version);
    ASSERT_EQ(STATUS_SUCCESS, cache_.CacheWrite(data.data(), first * kBlock, count * kBlock));
  }
  // The version a block of a read shows (0 = the server's data).
  static uint8_t VersionOf(const std::vector<uint8_t>& data, uint64_t index) {
    return data[index * kBlock] % 16;
  }

  RecordingStore store_;
  WriteCache cache_{&store_, 64 << 20};
};

TEST_F(WriteCacheTest, WrittenBlocksOverlayTheServersData) {
  Write(10, 3, 1);
  const auto data = Read(8, 8);
  const uint8_t expected[] = {0, 0, 1, 1, 1, 0, 0, 0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(expected[i], VersionOf(data, i)) << "block " << 8 + i;
  EXPECT_EQ(Blocks(10, 3, 1),
            std::vector<uint8_t>(data.begin() + 2 * kBlock, data.begin() + 5 * kBlock));
}

TEST_F(WriteCacheTest, SlotsFollowTheOrderOfFirstWrites) {
  Write(20, 1, 1);  // slot 1
  Write(22, 1, 2);  // slot 2
  store_.ops.clear();
  const auto data = Read(20, 3);
  EXPECT_EQ(1, VersionOf(data, 0));
  EXPECT_EQ(0, VersionOf(data, 1));
  EXPECT_EQ(2, VersionOf(data, 2));
  const std::vector<RecordingStore::Op> expected = {{'r', 512, 512}, {'r', 1024, 512}};
  EXPECT_EQ(expected, store_.ops);
}

TEST_F(WriteCacheTest, RewritesKeepTheirSlotSoTheFileDoesNotGrow) {
  Write(5, 1, 1);
  Write(5, 1, 2);
  Write(5, 1, 3);
  EXPECT_EQ(2u, cache_.next_slot());
  EXPECT_EQ(2 * kBlock, store_.bytes.size());
  EXPECT_EQ(3, VersionOf(Read(5, 1), 0));
  Write(100, 4, 1);
  Write(7, 1, 1);
  Write(100, 4, 2);
  // n distinct blocks: (n + 1) slots of 512 bytes, slot 0 never used.
  EXPECT_EQ((6 + 1) * kBlock, store_.bytes.size());
}

TEST_F(WriteCacheTest, BlocksContiguousOnDiskAndInTheFileMoveInOneOperation) {
  Write(4, 4, 1);  // blocks 4..7 in slots 1..4: one run
  ASSERT_EQ(1u, store_.ops.size());
  EXPECT_EQ((RecordingStore::Op{'w', 512, 2048}), store_.ops[0]);
  store_.ops.clear();

  // 0..3 new (slots 5..8), 4..7 old (slots 1..4), 8..9 new (slots 9..10).
  Write(0, 10, 2);
  const std::vector<RecordingStore::Op> writes = {
      {'w', 5 * kBlock, 2048}, {'w', 1 * kBlock, 2048}, {'w', 9 * kBlock, 1024}};
  EXPECT_EQ(writes, store_.ops);
  store_.ops.clear();

  const auto data = Read(0, 10);
  const std::vector<RecordingStore::Op> reads = {
      {'r', 5 * kBlock, 2048}, {'r', 1 * kBlock, 2048}, {'r', 9 * kBlock, 1024}};
  EXPECT_EQ(reads, store_.ops);
  EXPECT_EQ(Blocks(0, 10, 2), data);
}

TEST_F(WriteCacheTest, BlockZeroIsCachedLikeAnyOther) {
  Write(0, 2, 7);
  EXPECT_EQ(Blocks(0, 2, 7), Read(0, 2));
  EXPECT_EQ(Blocks(0, 3, 7)[0], Read(0, 3)[0]);
  EXPECT_EQ(0, VersionOf(Read(0, 3), 2));
}

TEST_F(WriteCacheTest, RunsCrossGroupPages) {
  Write(2047, 2, 1);  // last block of group 0, first of group 1
  ASSERT_EQ(1u, store_.ops.size());
  EXPECT_EQ(1024u, store_.ops[0].length);
  EXPECT_EQ(Blocks(2047, 2, 1), Read(2047, 2));
}

TEST_F(WriteCacheTest, AFailingFileWriteFailsTheRequest) {
  store_.fail_writes = true;
  const auto data = Blocks(3, 1, 1);
  EXPECT_EQ(STATUS_DISK_FULL, cache_.CacheWrite(data.data(), 3 * kBlock, kBlock));
}

// A block whose first write failed in the file reads as before (the
// server's data), not as its slot of nothing: zeros once later slots lie
// beyond it, an error while the file ends before it.
TEST_F(WriteCacheTest, AFailedFileWriteLeavesNewBlocksWithTheServersData) {
  Write(5, 1, 1);
  store_.fail_writes = true;
  const auto data = Blocks(3, 4, 2);  // 3 and 4 new, 5 kept, 6 new
  EXPECT_EQ(STATUS_DISK_FULL, cache_.CacheWrite(data.data(), 3 * kBlock, 4 * kBlock));
  store_.fail_writes = false;
  std::vector<uint8_t> read = Blocks(3, 4, 0);
  EXPECT_EQ(STATUS_SUCCESS, cache_.CacheOverlay(read.data(), 3 * kBlock, read.size()));
  Write(10, 1, 3);  // its slot lies beyond theirs in the file
  read = Read(3, 4);
  std::vector<uint8_t> expected = Blocks(3, 2, 0);
  for (const auto& more : {Blocks(5, 1, 1), Blocks(6, 1, 0)}) {
    expected.insert(expected.end(), more.begin(), more.end());
  }
  EXPECT_EQ(expected, read);
  Write(3, 2, 4);  // written again, they are kept
  EXPECT_EQ(Blocks(3, 2, 4), Read(3, 2));
}

TEST_F(WriteCacheTest, RunningOutOfSlotsStillKeepsTheBlocksBeforeIt) {
  store_.keep_bytes = false;  // the last slots lie 2 TiB into the file
  cache_.SetNextSlotForTesting(UINT32_MAX - 1);
  const auto data = Blocks(0, 3, 1);
  EXPECT_EQ(STATUS_DISK_FULL, cache_.CacheWrite(data.data(), 0, 3 * kBlock));
  // Block 0 got the last slot: its data must be there, or a read of it
  // would overlay whatever that slot of the file holds.
  const uint64_t last_slot = uint64_t{UINT32_MAX - 1} * kBlock;
  const std::vector<RecordingStore::Op> expected = {{'w', last_slot, kBlock}};
  EXPECT_EQ(expected, store_.ops);
  store_.ops.clear();
  std::vector<uint8_t> read(2 * kBlock);
  EXPECT_EQ(STATUS_SUCCESS, cache_.CacheOverlay(read.data(), 0, read.size()));
  const std::vector<RecordingStore::Op> reads = {{'r', last_slot, kBlock}};
  EXPECT_EQ(reads, store_.ops);
}

TEST_F(WriteCacheTest, UnalignedOrEmptyRequestsAreLeftAlone) {
  const auto data = Blocks(0, 2, 1);
  EXPECT_EQ(STATUS_SUCCESS, cache_.CacheWrite(data.data(), 100, kBlock));
  EXPECT_EQ(STATUS_SUCCESS, cache_.CacheWrite(data.data(), 0, 0));
  EXPECT_TRUE(store_.ops.empty());
  EXPECT_EQ(1u, cache_.next_slot());
}

// A slot file on a disk that fills up: a write reaching past `room` keeps
// the bytes before it and fails, as a write running into ENOSPC does.
class FillingStore : public SlotStore {
 public:
  NtStatus ReadAt(uint8_t* data, size_t length, uint64_t offset) override {
    if (offset + length > bytes.size()) return STATUS_IO_DEVICE_ERROR;
    std::copy_n(bytes.begin() + static_cast<long>(offset), length, data);
    return STATUS_SUCCESS;
  }
  NtStatus WriteAt(const uint8_t* data, size_t length, uint64_t offset) override {
    const bool fits = room == 0 || offset + length <= room;
    const size_t kept = fits ? length : static_cast<size_t>(offset < room ? room - offset : 0);
    if (offset + kept > bytes.size()) bytes.resize(offset + kept);
    std::copy_n(data, kept, bytes.begin() + static_cast<long>(offset));
    return fits ? STATUS_SUCCESS : STATUS_DISK_FULL;
  }

  std::vector<uint8_t> bytes;
  uint64_t room = 0;  // 0: no limit
};

// Overlapping writes of random places and lengths across group pages, some
// running out of room part way: an acknowledged write reads back whole, a
// failed one leaves each of its blocks whole, old or new, and every read
// matches what the writes left.
TEST(WriteCacheFillingTest, WritesThatRunOutOfRoomLeaveEveryBlockWholeOldOrNew) {
  std::mt19937_64 random(7);
  constexpr uint64_t kBlocks = 3 * WriteCache::kGroupBlocks + 37;
  for (int round = 0; round < 6; ++round) {
    FillingStore store;
    WriteCache cache(&store, kBlocks * kBlock);
    std::vector<uint8_t> server(kBlocks * kBlock);
    for (auto& b : server) b = static_cast<uint8_t>(random());
    std::vector<uint8_t> disk = server;  // what reads must show
    auto read = [&](uint64_t first, uint64_t count) {
      const auto begin = server.begin() + static_cast<long>(first * kBlock);
      std::vector<uint8_t> data(begin, begin + static_cast<long>(count * kBlock));
      EXPECT_EQ(STATUS_SUCCESS, cache.CacheOverlay(data.data(), first * kBlock, data.size()));
      return data;
    };
    for (int op = 0; op < 300; ++op) {
      const uint64_t first = random() % kBlocks;
      const uint64_t count = 1 + random() % std::min<uint64_t>(kBlocks - first, 300);
      std::vector<uint8_t> data(count * kBlock);
      for (auto& b : data) b = static_cast<uint8_t>(random());
      // The file only grows where new blocks go: room ends at or past its end.
      if (random() % 8 == 0) store.room = store.bytes.size() + 1 + random() % data.size();
      const NtStatus status = cache.CacheWrite(data.data(), first * kBlock, data.size());
      store.room = 0;
      const std::vector<uint8_t> now = read(first, count);
      if (status == STATUS_SUCCESS) {
        ASSERT_EQ(data, now) << "round " << round << " write " << op;
      }
      for (uint64_t b = 0; b < count; ++b) {
        const uint8_t* got = now.data() + b * kBlock;
        const bool old_block =
            std::equal(got, got + kBlock, disk.begin() + static_cast<long>((first + b) * kBlock));
        const bool new_block =
            std::equal(got, got + kBlock, data.begin() + static_cast<long>(b * kBlock));
        ASSERT_TRUE(old_block || new_block)
            << "round " << round << " write " << op << " block " << b;
      }
      std::copy(now.begin(), now.end(), disk.begin() + static_cast<long>(first * kBlock));
      const uint64_t at = random() % kBlocks;
      const uint64_t span = 1 + random() % std::min<uint64_t>(kBlocks - at, 500);
      const std::vector<uint8_t> seen = read(at, span);
      ASSERT_TRUE(
          std::equal(seen.begin(), seen.end(), disk.begin() + static_cast<long>(at * kBlock)))
          << "round " << round << " write " << op;
    }
  }
}

TEST(WriteCacheGroupsTest, OneGroupPer2048BlocksRoundedUp) {
  RecordingStore store;
  EXPECT_EQ(1024u, WriteCache(&store, uint64_t{1} << 30).group_count());
  EXPECT_EQ(1025u, WriteCache(&store, (uint64_t{1} << 30) + 512).group_count());
  EXPECT_EQ(1u, WriteCache(&store, 512).group_count());
  EXPECT_EQ(0u, WriteCache(&store, 0).group_count());
}

TEST(WriteCacheGroupsTest, TheLargestDiskCostsNothingUntilItIsWritten) {
  // A server may report any size up to 2^63 - 512 bytes: 2^43 groups.
  RecordingStore store;
  const uint64_t size = (uint64_t{1} << 63) - kBlock;
  WriteCache cache(&store, size);
  EXPECT_EQ(uint64_t{1} << 43, cache.group_count());
  std::vector<uint8_t> data(2 * kBlock, 0x3E);
  ASSERT_EQ(STATUS_SUCCESS, cache.CacheWrite(data.data(), size - 2 * kBlock, data.size()));
  ASSERT_EQ(STATUS_SUCCESS, cache.CacheWrite(data.data(), 0, kBlock));
  std::vector<uint8_t> read(4 * kBlock, 0);
  ASSERT_EQ(STATUS_SUCCESS, cache.CacheOverlay(read.data(), size - 4 * kBlock, read.size()));
  EXPECT_EQ(0, read[kBlock]) << "never written";
  EXPECT_EQ(0x3E, read[2 * kBlock]);
  EXPECT_EQ(0x3E, read[4 * kBlock - 1]);
  EXPECT_EQ(4u, cache.next_slot());
  EXPECT_EQ(4 * kBlock, store.bytes.size());
}

}  // namespace
}  // namespace quensaria::driver
