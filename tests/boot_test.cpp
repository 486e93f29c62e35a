// Boots disks under qemu and watches what the boot programs do: the master
// boot record's chain loading and its three failures, and the volume boot
// programs of images made by the create flow.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "configurator/image/create_image.h"
#include "configurator/image/image_geometry.h"
#include "platform/scratch_dir_for_testing.h"
#include "shared/bytes.h"
#include "shared/master_boot_record.h"
#include "tests/boot_probes_for_testing.h"
#include "tests/program_for_testing.h"
#include "tests/qemu_machine_for_testing.h"

namespace quensaria::testing {
namespace {

using configurator::ImageFileSystem;

constexpr auto kBootLimit = std::chrono::seconds(60);
constexpr uint64_t kP = configurator::kPartitionOffset;
constexpr char kProbeMarker[] = "QUENSARIA-PROBE";
constexpr char kLoaderMarker[] = "QUENSARIA-LOADER dl=80 TAIL-OK";

// Makes a boot program take its CHS path: its extension check (mov ah,0x41;
// mov bx,0x55AA) asks for a function no BIOS has, which fails as on a BIOS
// without the INT 13h extensions.
bool DisableExtensions(uint8_t* program, size_t length) {
  const uint8_t check[] = {0xB4, 0x41, 0xBB, 0xAA, 0x55};
  uint8_t* end = program + length;
  uint8_t* at = std::search(program, end, std::begin(check), std::end(check));
  if (at == end) return false;
  at[1] = 0x7F;
  return true;
}

class BootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!QemuMachine::Available()) GTEST_SKIP() << "qemu-system-i386 is not installed";
  }

  // Boots `disk`; the machine lives until the test ends.
  QemuMachine& Boot(const std::string& disk) {
    machine_ = std::make_unique<QemuMachine>(disk, dir_.path().string());
    std::string error;
    EXPECT_TRUE(machine_->Start(&error)) << error;
    return *machine_;
  }

  // A 4 MiB disk: the given sector 0 and, at `sector`, `contents`.
  std::string Disk(const std::vector<uint8_t>& sector0, uint64_t sector,
                   const std::vector<uint8_t>& contents) {
    std::string path = dir_.File("disk.img");
    std::filesystem::resize_file(CreateEmpty(path), 4 << 20);
    WriteBytes(path, 0, sector0);
    if (!contents.empty()) WriteBytes(path, sector * 512, contents);
    return path;
  }
  std::string CreateEmpty(const std::string& path) {
    std::ofstream(path, std::ios::binary | std::ios::trunc);
    return path;
  }

  // Sector 0 with one active entry for a partition at `first` sector.
  static std::vector<uint8_t> MasterBootRecord(uint32_t first, uint32_t count = 4096) {
    std::vector<uint8_t> sector(512);
    BuildMasterBootRecord(0x12345678, PartitionEntry{0x0C, first, count}, sector.data());
    return sector;
  }

  std::string Image(uint64_t mib, ImageFileSystem fs) {
    std::string path = dir_.File("image.img");
    Status s = configurator::CreateImage(path, mib, fs);
    EXPECT_TRUE(s.ok()) << s.ToString();
    return path;
  }

  ScratchDir dir_;
  std::unique_ptr<QemuMachine> machine_;
};

// --- The master boot record -------------------------------------------------

TEST_F(BootTest, LoadsTheActivePartitionsFirstSectorAndRunsIt) {
  QemuMachine& pc = Boot(Disk(MasterBootRecord(63), 63, PartitionProbeSector()));
  ASSERT_TRUE(pc.WaitForSerial("\n", kBootLimit)) << pc.Screen();
  // The boot drive in DL and DS:SI on the active entry, as boot sectors expect.
  EXPECT_EQ(pc.Serial(), "QUENSARIA-PROBE dl=80 flag=80 lba=0000003F\n");
}

TEST_F(BootTest, FindsTheActiveEntryAmongOthers) {
  std::vector<uint8_t> mbr = MasterBootRecord(2048);
  // Move the entry to the third slot; the first two stay empty.
  std::copy(mbr.begin() + 446, mbr.begin() + 462, mbr.begin() + 478);
  std::fill(mbr.begin() + 446, mbr.begin() + 462, 0);
  QemuMachine& pc = Boot(Disk(mbr, 2048, PartitionProbeSector()));
  ASSERT_TRUE(pc.WaitForSerial("\n", kBootLimit)) << pc.Screen();
  EXPECT_EQ(pc.Serial(), "QUENSARIA-PROBE dl=80 flag=80 lba=00000800\n");
}

TEST_F(BootTest, ReadsThroughChsWithoutDiskExtensions) {
  std::vector<uint8_t> mbr = MasterBootRecord(2048 + 17);  // not on a track boundary
  ASSERT_TRUE(DisableExtensions(mbr.data(), 300)) << "the extension check moved";
  QemuMachine& pc = Boot(Disk(mbr, 2048 + 17, PartitionProbeSector()));
  ASSERT_TRUE(pc.WaitForSerial("\n", kBootLimit)) << pc.Screen();
  EXPECT_EQ(pc.Serial(), "QUENSARIA-PROBE dl=80 flag=80 lba=00000811\n");
}

struct BadTable {
  const char* name;
  uint8_t flags[4];
};

class InvalidTableTest : public BootTest, public ::testing::WithParamInterface<BadTable> {};

TEST_P(InvalidTableTest, SaysInvalidPartitionTable) {
  std::vector<uint8_t> mbr = MasterBootRecord(63);
  for (int i = 0; i < 4; ++i) {
    mbr[446 + 16 * i] = GetParam().flags[i];
    if (i > 0) mbr[446 + 16 * i + 8] = 63;  // more entries pointing at the probe
  }
  QemuMachine& pc = Boot(Disk(mbr, 63, PartitionProbeSector()));
  EXPECT_TRUE(pc.WaitForScreen("Invalid partition table", kBootLimit)) << pc.Screen();
  EXPECT_EQ(pc.Serial().find(kProbeMarker), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Tables, InvalidTableTest,
                         ::testing::Values(BadTable{"NoActiveEntry", {0, 0, 0, 0}},
                                           BadTable{"TwoActiveEntries", {0x80, 0, 0x80, 0}},
                                           BadTable{"ABadFlag", {0x80, 0x01, 0, 0}},
                                           BadTable{"AFlagOtherThan80", {0x81, 0, 0, 0}}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(BootTest, SaysMissingOperatingSystemWithoutTheSignature) {
  std::vector<uint8_t> probe = PartitionProbeSector();
  probe[511] = 0;
  QemuMachine& pc = Boot(Disk(MasterBootRecord(63), 63, probe));
  EXPECT_TRUE(pc.WaitForScreen("Missing operating system", kBootLimit)) << pc.Screen();
  EXPECT_EQ(pc.Serial(), "");
}

TEST_F(BootTest, SaysErrorLoadingWhenThePartitionCannotBeRead) {
  QemuMachine& pc = Boot(Disk(MasterBootRecord(0x00F00000), 63, PartitionProbeSector()));
  EXPECT_TRUE(pc.WaitForScreen("Error loading operating system", kBootLimit)) << pc.Screen();
  EXPECT_EQ(pc.Serial(), "");
}

TEST_F(BootTest, SaysErrorLoadingWhenChsCannotReachThePartition) {
  std::vector<uint8_t> mbr = MasterBootRecord(0x00F00000);
  ASSERT_TRUE(DisableExtensions(mbr.data(), 300));
  QemuMachine& pc = Boot(Disk(mbr, 63, PartitionProbeSector()));
  EXPECT_TRUE(pc.WaitForScreen("Error loading operating system", kBootLimit)) << pc.Screen();
}

// --- The volume boot programs of created images -----------------------------

struct VolumeCase {
  const char* name;
  uint64_t mib;
  ImageFileSystem fs;
};

class VolumeBootTest : public BootTest, public ::testing::WithParamInterface<VolumeCase> {};

// An empty volume has no loader: the user sees the two lines, a key
// restarts the machine (with -no-reboot the reset ends qemu).
TEST_P(VolumeBootTest, AnEmptyVolumeSaysNtldrIsMissingAndRestartsOnAKey) {
  QemuMachine& pc = Boot(Image(GetParam().mib, GetParam().fs));
  ASSERT_TRUE(pc.WaitForScreen("Press any key to restart", kBootLimit)) << pc.Screen();
  std::string screen = pc.Screen();
  EXPECT_NE(screen.find("NTLDR is missing\nPress any key to restart"), std::string::npos) << screen;
  EXPECT_TRUE(pc.Running()) << "it did not wait for a key";
  ASSERT_TRUE(pc.SendKey("ret"));
  EXPECT_TRUE(pc.WaitForExit(std::chrono::seconds(30))) << "no restart after the key";
}

// With NTLDR on the volume, scattered over the FAT, the boot program loads
// every cluster in order and runs it with the boot drive in DL.
TEST_P(VolumeBootTest, LoadsAndRunsNtldr) {
  for (const char* tool : {"mcopy", "mdel", "mshowfat"}) {
    if (!ProgramExists(tool)) GTEST_SKIP() << tool << " (mtools) is not installed";
  }
  std::string image = Image(GetParam().mib, GetParam().fs);
  std::string volume = image + "@@" + std::to_string(kP);
  std::string filler = dir_.File("filler"), loader = dir_.File("NTLDR");
  std::ofstream(filler, std::ios::binary) << std::string(70000, 'f');
  std::vector<uint8_t> probe = LoaderProbeFile();
  std::ofstream(loader, std::ios::binary)
      .write(reinterpret_cast<const char*>(probe.data()),
             static_cast<std::streamsize>(probe.size()));
  // Two files, the first deleted again: NTLDR fills its hole and goes on
  // after the second.
  ASSERT_EQ(RunProgram({"mcopy", "-i", volume, filler, "::A"}).exit_code, 0);
  ASSERT_EQ(RunProgram({"mcopy", "-i", volume, filler, "::B"}).exit_code, 0);
  ASSERT_EQ(RunProgram({"mdel", "-i", volume, "::A"}).exit_code, 0);
  if (GetParam().fs == ImageFileSystem::kFat32) {
    // Forget the FSInfo next-free hint mtools left, so the hole is reused.
    WriteBytes(image, kP + 512 + 492, {0xFF, 0xFF, 0xFF, 0xFF});
  }
  ASSERT_EQ(RunProgram({"mcopy", "-i", volume, loader, "::NTLDR"}).exit_code, 0);
  ProgramResult chain = RunProgram({"mshowfat", "-i", volume, "::NTLDR"});
  ASSERT_GE(std::count(chain.out.begin(), chain.out.end(), '<'), 2)
      << "not fragmented: " << chain.out;

  QemuMachine& pc = Boot(image);
  ASSERT_TRUE(pc.WaitForSerial("\n", kBootLimit)) << pc.Screen();
  EXPECT_EQ(pc.Serial(), std::string(kLoaderMarker) + "\n");
}

// A volume whose sectors the BIOS cannot read: hidden sectors far past the
// disk's end.
TEST_P(VolumeBootTest, AnUnreadableVolumeSaysDiskError) {
  std::string image = Image(GetParam().mib, GetParam().fs);
  WriteBytes(image, kP + 28, {0x00, 0xFF, 0xFF, 0x7F});
  QemuMachine& pc = Boot(image);
  ASSERT_TRUE(pc.WaitForScreen("Press any key to restart", kBootLimit)) << pc.Screen();
  EXPECT_NE(pc.Screen().find("Disk error\nPress any key to restart"), std::string::npos)
      << pc.Screen();
}

INSTANTIATE_TEST_SUITE_P(Volumes, VolumeBootTest,
                         ::testing::Values(VolumeCase{"Fat12", 200, ImageFileSystem::kFat},
                                           VolumeCase{"Fat16", 300, ImageFileSystem::kFat},
                                           VolumeCase{"Fat32", 100, ImageFileSystem::kFat32},
                                           VolumeCase{"Fat32EightSectorClusters", 1024,
                                                      ImageFileSystem::kFat32}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace quensaria::testing
