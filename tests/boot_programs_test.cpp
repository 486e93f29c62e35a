// The checked-in bytes of the boot programs and test payloads are the
// assembly of their sources (where nasm is installed), and the master boot
// record's messages sit where its code and the sector layout expect them.
#include "configurator/image/boot_programs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/scratch_dir_for_testing.h"
#include "shared/master_boot_record.h"
#include "tests/boot_probes_for_testing.h"
#include "tests/program_for_testing.h"

namespace quensaria::testing {
namespace {

std::vector<uint8_t> Assemble(const std::string& source, const ScratchDir& dir) {
  std::string path = std::string(QUENSARIA_SOURCE_DIR) + "/" + source;
  std::string out = dir.File("out.bin");
  std::string include = path.substr(0, path.rfind('/') + 1);
  ProgramResult r = RunProgram({"nasm", "-f", "bin", "-I", include, "-o", out, path});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return ReadBytes(out, 0, 1 << 20);
}

template <typename Bytes>
std::vector<uint8_t> ToVector(const Bytes& bytes) {
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

class AssembledBytesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // scripts/install-deps installs nasm: without it the comparison would
    // never run, so that is a failure, not a skip.
    ASSERT_TRUE(ProgramExists("nasm")) << "nasm is not installed: cannot compare with the sources";
  }
  ScratchDir dir_;
};

TEST_F(AssembledBytesTest, MasterBootRecord) {
  EXPECT_EQ(Assemble("shared/boot/mbr.asm", dir_), ToVector(MbrBootProgram()))
      << "run scripts/assemble-boot-programs";
}

TEST_F(AssembledBytesTest, FatBootProgram) {
  EXPECT_EQ(Assemble("shared/boot/fat.asm", dir_), ToVector(configurator::FatBootProgram()))
      << "run scripts/assemble-boot-programs";
}

TEST_F(AssembledBytesTest, Fat32BootProgram) {
  EXPECT_EQ(Assemble("shared/boot/fat32.asm", dir_), ToVector(configurator::Fat32BootProgram()))
      << "run scripts/assemble-boot-programs";
}

TEST_F(AssembledBytesTest, TestPayloads) {
  EXPECT_EQ(Assemble("tests/boot/partition_probe.asm", dir_), PartitionProbeSector());
  EXPECT_EQ(Assemble("tests/boot/loader_probe.asm", dir_), LoaderProbeFile());
}

TEST(MasterBootRecordProgram, MessagesSitAtTheirOffsets) {
  const auto& p = MbrBootProgram();
  EXPECT_EQ(std::memcmp(&p[300], "Invalid partition table", 24), 0);
  EXPECT_EQ(std::memcmp(&p[324], "Error loading operating system", 31), 0);
  EXPECT_EQ(std::memcmp(&p[355], "Missing operating system", 25), 0);
  for (size_t i = 380; i < 437; ++i) EXPECT_EQ(p[i], 0) << i;
  EXPECT_EQ(p[437], 0x2C);
  EXPECT_EQ(p[438], 0x44);
  EXPECT_EQ(p[439], 0x63);
}

TEST(VolumeBootPrograms, CarryTheirMessages) {
  for (const std::string& program :
       {std::string(configurator::FatBootProgram().begin(), configurator::FatBootProgram().end()),
        std::string(configurator::Fat32BootProgram().begin(),
                    configurator::Fat32BootProgram().end())}) {
    EXPECT_NE(program.find("NTLDR      "), std::string::npos);
    EXPECT_NE(program.find(std::string("NTLDR is missing\r\n\0", 19)), std::string::npos);
    EXPECT_NE(program.find(std::string("Disk error\r\n\0", 13)), std::string::npos);
    EXPECT_NE(program.find(std::string("Press any key to restart\0", 25)), std::string::npos);
  }
}

}  // namespace
}  // namespace quensaria::testing
