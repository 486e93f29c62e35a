#include "configurator/image/image_geometry.h"

#include <gtest/gtest.h>

#include <set>

namespace quensaria::configurator {
namespace {

constexpr uint64_t kMib = 1048576;

// FAT entries of `bits` that `sectors` sectors of `sector_size` bytes hold.
uint64_t EntriesHeld(uint64_t sectors, uint64_t sector_size, uint64_t bits) {
  return sectors * sector_size * 8 / bits;
}

struct FatCase {
  uint64_t mib;
  uint32_t total_sectors;
  bool small_total;
  uint32_t fat_bits;
};

class FatGeometryTest : public ::testing::TestWithParam<FatCase> {};

TEST_P(FatGeometryTest, MatchesTheLayout) {
  const FatCase& c = GetParam();
  Result<FatGeometry> g = PlanFatVolume(c.mib * kMib);
  ASSERT_TRUE(g.ok()) << g.status().ToString();
  if (c.total_sectors != 0) {
    EXPECT_EQ(g->total_sectors, c.total_sectors);
  }
  EXPECT_EQ(g->small_total, c.small_total);
  EXPECT_EQ(g->fat_bits, c.fat_bits);
}

INSTANTIATE_TEST_SUITE_P(EdgeSizes, FatGeometryTest,
                         ::testing::Values(FatCase{8, 0, true, 12},         // the smallest size
                                           FatCase{32, 8184, true, 12},     // last 16-bit total
                                           FatCase{33, 8440, false, 12},    // first 32-bit total
                                           FatCase{200, 51192, false, 12},  // the dialog's default
                                           FatCase{255, 0, false, 12},  // still below 4085 clusters
                                           FatCase{256, 0, false, 16},  // first FAT16 size
                                           FatCase{4095, 0, false, 16}));  // the largest

TEST(FatGeometry, TheLargestSizeIsJustBelowTheFat16Limit) {
  Result<FatGeometry> g = PlanFatVolume(4095 * kMib);
  ASSERT_TRUE(g.ok());
  EXPECT_EQ(g->sectors_per_fat, 32u);
  EXPECT_EQ(g->cluster_count, 65515u);
}

TEST(FatGeometry, SizesWithMoreThan65524ClustersAreRefused) {
  for (uint64_t mib : {4096ull, 4097ull, 100000ull}) {
    Result<FatGeometry> g = PlanFatVolume(mib * kMib);
    ASSERT_FALSE(g.ok()) << mib;
    EXPECT_NE(g.status().message().find("4095 MB"), std::string::npos) << g.status().message();
  }
}

TEST(FatGeometry, TwoTebibytesAndMoreAreRefused) {
  EXPECT_FALSE(PlanFatVolume(kImageSizeLimit).ok());
  EXPECT_FALSE(PlanFatVolume(UINT64_MAX).ok());
}

// Every accepted size: a FAT that holds an entry for each cluster and the two
// reserved ones, an entry width the cluster count calls for, a volume that
// fits its sectors, and no FAT a sector larger than needed.
TEST(FatGeometry, EverySizeGivesAValidVolume) {
  for (uint64_t mib = 8; mib <= 4095; ++mib) {
    Result<FatGeometry> g = PlanFatVolume(mib * kMib);
    ASSERT_TRUE(g.ok()) << mib;
    EXPECT_GE(EntriesHeld(g->sectors_per_fat, kFatBytesPerSector, g->fat_bits),
              g->cluster_count + 2ull)
        << mib;
    EXPECT_EQ(g->fat_bits, g->cluster_count < 4085 ? 12u : 16u) << mib;
    uint64_t used = 1 + 2ull * g->sectors_per_fat + 4 + 16ull * g->cluster_count;
    EXPECT_LE(used, g->total_sectors) << mib;
    EXPECT_GT(used + 16, g->total_sectors) << mib << ": a whole cluster left unused";
    // One sector less per FAT frees two sectors; the clusters they could add
    // would no longer all have entries.
    if (g->sectors_per_fat == 1) continue;
    uint64_t smaller = g->sectors_per_fat - 1;
    uint64_t clusters_then = (g->total_sectors - 1 - 2 * smaller - 4) / 16;
    EXPECT_LT(EntriesHeld(smaller, kFatBytesPerSector, clusters_then < 4085 ? 12 : 16),
              clusters_then + 2)
        << mib;
  }
}

struct Fat32Case {
  uint64_t mib;
  uint32_t total_sectors;
  uint32_t sectors_per_fat;
  uint32_t sectors_per_cluster;
};

class Fat32GeometryTest : public ::testing::TestWithParam<Fat32Case> {};

TEST_P(Fat32GeometryTest, MatchesTheLayout) {
  const Fat32Case& c = GetParam();
  Result<Fat32Geometry> g = PlanFat32Volume(c.mib * kMib);
  ASSERT_TRUE(g.ok()) << g.status().ToString();
  if (c.total_sectors != 0) {
    EXPECT_EQ(g->total_sectors, c.total_sectors);
  }
  if (c.sectors_per_fat != 0) {
    EXPECT_EQ(g->sectors_per_fat, c.sectors_per_fat);
  }
  EXPECT_EQ(g->sectors_per_cluster, c.sectors_per_cluster);
}

INSTANTIATE_TEST_SUITE_P(EdgeSizes, Fat32GeometryTest,
                         ::testing::Values(Fat32Case{33, 67520, 524, 1},        // the smallest
                                           Fat32Case{100, 204736, 1587, 1},     // N = 204800
                                           Fat32Case{259, 0, 0, 1},             // N = 530432
                                           Fat32Case{261, 0, 0, 8},             // N = 534528
                                           Fat32Case{1024, 2097088, 16257, 8},  //
                                           Fat32Case{4097, 0, 0, 8},   // above the FAT bound
                                           Fat32Case{8191, 0, 0, 8},   // N below 16777216
                                           Fat32Case{8192, 0, 0, 16},  // N = 16777216
                                           Fat32Case{10240, 0, 0, 16}, Fat32Case{16383, 0, 0, 16},
                                           Fat32Case{16384, 0, 0, 32}, Fat32Case{32768, 0, 0, 64},
                                           Fat32Case{2097151, 0, 0, 64}));  // the largest

TEST(Fat32Geometry, TheSecondFatAndTheRootFollowTheFirst) {
  Result<Fat32Geometry> g = PlanFat32Volume(1024 * kMib);
  ASSERT_TRUE(g.ok());
  EXPECT_EQ(g->FatSector(1), 16289u);
  EXPECT_EQ(kPartitionOffset + uint64_t{g->RootSector()} * 512, 16695808u);
}

TEST(Fat32Geometry, SizesBelow66600SectorsAreRefused) {
  for (uint64_t mib : {8ull, 16ull, 32ull}) {
    Result<Fat32Geometry> g = PlanFat32Volume(mib * kMib);
    ASSERT_FALSE(g.ok()) << mib;
    EXPECT_NE(g.status().message().find("33 MB"), std::string::npos);
  }
  EXPECT_FALSE(PlanFat32Volume(66599 * 512).ok());
}

TEST(Fat32Geometry, TwoTebibytesAndMoreAreRefused) {
  EXPECT_TRUE(PlanFat32Volume(kImageSizeLimit - kMib).ok());
  Result<Fat32Geometry> g = PlanFat32Volume(kImageSizeLimit);
  ASSERT_FALSE(g.ok());
  EXPECT_NE(g.status().message().find("2 TB"), std::string::npos);
  EXPECT_FALSE(PlanFat32Volume(UINT64_MAX).ok());
}

// Over every size in MiB up to 2 TiB: an accepted volume has a FAT32 cluster
// count and a FAT with an entry for each cluster; the only size refused for
// its cluster count is 260 MiB, where the FAT sized for one-sector clusters
// leaves 8-sector clusters short of the FAT32 minimum.
TEST(Fat32Geometry, EverySizeGivesAValidVolumeOrIsRefused) {
  std::set<uint64_t> refused;
  for (uint64_t mib = 33; mib * kMib < kImageSizeLimit; ++mib) {
    Result<Fat32Geometry> g = PlanFat32Volume(mib * kMib);
    if (!g.ok()) {
      refused.insert(mib);
      continue;
    }
    ASSERT_GE(g->cluster_count, 65525u) << mib;
    ASSERT_LE(g->cluster_count, 0x0FFFFFF5u) << mib;
    ASSERT_GE(EntriesHeld(g->sectors_per_fat, 512, 32), g->cluster_count + 2ull) << mib;
    ASSERT_LE(uint64_t{g->RootSector()} + uint64_t{g->cluster_count} * g->sectors_per_cluster,
              g->total_sectors)
        << mib;
  }
  EXPECT_EQ(refused, std::set<uint64_t>{260});
}

}  // namespace
}  // namespace quensaria::configurator
