// Runs ludrane-mkimage as a user would and checks what it says, what it
// leaves on disk, and that real tools (dosfstools, mtools) accept the volume.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/scratch_dir_for_testing.h"
#include "tests/image_files_for_testing.h"
#include "tests/program_for_testing.h"

namespace quensaria::testing {
namespace {

constexpr char kVolumeAt[] = "@@32256";

class MkimageTest : public ::testing::Test {
 protected:
  ProgramResult Mkimage(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {LUDRANE_MKIMAGE};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
  }
  // Runs the program through sh so that `setup` (ulimit, mount) applies.
  ProgramResult MkimageAfter(const std::string& setup, const std::vector<std::string>& args,
                             const std::vector<std::string>& wrapper = {}) {
    std::vector<std::string> argv = wrapper;
    argv.insert(argv.end(), {"sh", "-c", setup + " && exec \"$0\" \"$@\"", LUDRANE_MKIMAGE});
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
  }
  static void ExpectSuccess(const ProgramResult& r) {
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0], "Progress: [##########] 100%");
    EXPECT_EQ(lines[1], "Create complete!");
  }
  static void ExpectRefusal(const ProgramResult& r, const std::string& message) {
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, message + "\n");
    EXPECT_EQ(r.out, "");
  }
  bool Exists(const std::string& path) { return std::filesystem::exists(path); }

  ScratchDir dir_;
};

struct ToolCase {
  uint64_t mib;
  const char* fs;
};

class ToolsAcceptTest : public MkimageTest, public ::testing::WithParamInterface<ToolCase> {};

// fsck.fat finds nothing at all to say about a FAT volume. About a FAT32 one
// it may say only that the boot sector's label ("NO NAME") differs from the
// root directory's, and that the free count is left unknown.
bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }
bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void ExpectFsckAccepts(const std::string& partition, bool fat32) {
  ProgramResult r = RunProgram({"fsck.fat", "-n", partition});
  ASSERT_FALSE(r.timed_out);
  std::vector<std::string> lines = Lines(r.out + r.err);
  ASSERT_GE(lines.size(), 2u) << r.out << r.err;
  EXPECT_TRUE(StartsWith(lines.front(), "fsck.fat ")) << lines.front();
  // "<file>: 1 files, <used>/<total> clusters": the label is the one file.
  EXPECT_TRUE(StartsWith(lines.back(), partition + ": 1 files, ") &&
              EndsWith(lines.back(), " clusters"))
      << lines.back();
  if (!fat32) {
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(lines.size(), 2u) << r.out << r.err;
    return;
  }
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    bool allowed = line ==
                       "There is no label in boot sector, but there is volume label 'Quensaria' "
                       "stored in root directory" ||
                   line == "  Auto-copying volume label from root directory to boot sector." ||
                   (StartsWith(line, "Free cluster summary uninitialized (should be ") &&
                    EndsWith(line, ")")) ||
                   line.empty() || line == "Leaving filesystem unchanged.";
    EXPECT_TRUE(allowed) << "fsck.fat: " << line;
  }
  EXPECT_LE(r.exit_code, 1);
}

TEST_P(ToolsAcceptTest, FsckAndMtoolsAcceptTheVolume) {
  for (const char* tool : {"fsck.fat", "mdir", "mlabel"}) {
    if (!ProgramExists(tool)) GTEST_SKIP() << tool << " is not installed (dosfstools, mtools)";
  }
  const ToolCase& c = GetParam();
  const bool fat32 = std::string(c.fs) == "FAT32";
  std::string image = dir_.File("disk.img");
  ExpectSuccess(Mkimage({image, std::to_string(c.mib), c.fs}));
  ASSERT_EQ(std::filesystem::file_size(image), c.mib << 20);

  std::string partition = dir_.File("partition");
  CopySparseTail(image, 32256, partition);
  ExpectFsckAccepts(partition, fat32);

  ProgramResult dir = RunProgram({"mdir", "-i", image + kVolumeAt, "::"});
  EXPECT_EQ(dir.exit_code, 0) << dir.err;
  EXPECT_EQ(dir.err, "");
  EXPECT_NE(dir.out.find("Volume in drive : is Quensaria"), std::string::npos) << dir.out;
  EXPECT_NE(dir.out.find("No files"), std::string::npos) << dir.out;
  // The first image of a run takes the first number of the sequence, 41.
  EXPECT_NE(dir.out.find(fat32 ? "Volume Serial Number is CC36-F7A7"
                               : "Volume Serial Number is 0000-0029"),
            std::string::npos)
      << dir.out;
  ProgramResult label = RunProgram({"mlabel", "-s", "-i", image + kVolumeAt, "::"});
  EXPECT_EQ(label.exit_code, 0) << label.err;
  EXPECT_EQ(Lines(label.out), std::vector<std::string>{" Volume label is Quensaria  "});

  struct stat st;
  ASSERT_EQ(stat(image.c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the image is not sparse";
}

INSTANTIATE_TEST_SUITE_P(Sizes, ToolsAcceptTest,
                         ::testing::Values(ToolCase{32, "FAT"}, ToolCase{33, "FAT"},
                                           ToolCase{200, "FAT"}, ToolCase{4095, "FAT"},
                                           ToolCase{33, "FAT32"}, ToolCase{100, "FAT32"},
                                           ToolCase{1024, "FAT32"}, ToolCase{10240, "FAT32"}),
                         [](const auto& test) {
                           return std::string(test.param.fs) + "_" + std::to_string(test.param.mib);
                         });

TEST_F(MkimageTest, RefusedSizesSayWhyAndCreateNothing) {
  struct Refusal {
    const char* mib;
    const char* fs;
    const char* message;
  };
  const Refusal refusals[] = {
      {"7", "FAT", "The file size must greater than 8 MB"},
      {"0", "FAT32", "The file size must greater than 8 MB"},
      {"4097", "FAT", "The FAT file system only support as max as 4GB"},
      {"4096", "FAT", "The FAT file system supports at most 4095 MB (65524 clusters of 64 KB)"},
      {"32", "FAT32", "The FAT32 file system needs a file size of at least 33 MB"},
      {"260", "FAT32",
       "This size gives a FAT32 volume fewer than 65525 clusters; choose another size"},
      {"2097152", "FAT32", "The file size must be less than 2 TB (2097152 MB)"},
      {"99999999999999999999999", "FAT32", "The file size must be less than 2 TB (2097152 MB)"},
  };
  for (const Refusal& r : refusals) {
    std::string image = dir_.File(std::string("refused-") + r.mib + r.fs);
    ExpectRefusal(Mkimage({image, r.mib, r.fs}), r.message);
    EXPECT_FALSE(Exists(image)) << r.mib << " " << r.fs;
  }
}

TEST_F(MkimageTest, TheBoundarySizesAreAccepted) {
  ExpectSuccess(Mkimage({dir_.File("a"), "8", "FAT"}));
  ExpectSuccess(Mkimage({dir_.File("b"), "4097", "FAT32"}));
  ExpectSuccess(Mkimage({dir_.File("c"), "33", "fat32"}));
}

TEST_F(MkimageTest, AFileThatCannotBeCreated) {
  std::string image = dir_.File("no-such-dir/disk.img");
  ExpectRefusal(Mkimage({image, "200", "FAT"}), "Can't create the file " + image + " ");
  std::string directory = dir_.path().string();
  ExpectRefusal(Mkimage({directory, "200", "FAT"}), "Can't create the file " + directory + " ");
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What is at FILE is replaced by a new file of the caller's, made with his
// umask: a symbolic link there is replaced, never written through (into
// the file it names, or a file made where a dangling one points), a second
// name of the old file keeps the old data, and the old file's owner and
// mode do not pass to the image.
TEST_F(MkimageTest, AnExistingFileIsReplacedByANewFileOfTheCaller) {
  const std::string other = dir_.File("other.txt");
  std::ofstream(other) << "precious";
  const std::string link = dir_.File("link.img");
  std::filesystem::create_symlink(other, link);
  const std::string dangling = dir_.File("dangling.img");
  const std::string nowhere = dir_.File("nowhere.img");
  std::filesystem::create_symlink(nowhere, dangling);
  const std::string old = dir_.File("old.img");
  const std::string second_name = dir_.File("second-name.img");
  std::ofstream(old) << "old data";
  std::filesystem::create_hard_link(old, second_name);
  ASSERT_EQ(::chmod(old.c_str(), 0666), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(old.c_str(), 4321, 4321), 0);
  }

  for (const std::string& path : {link, dangling, old}) {
    ExpectSuccess(MkimageAfter("umask 027", {path, "8", "FAT"}));
    struct stat st;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << path << " is no file of its own";
    EXPECT_EQ(st.st_size, 8 << 20) << path;
    EXPECT_EQ(st.st_mode & 07777, 0640u) << path << ": mode " << std::oct << (st.st_mode & 07777);
    EXPECT_EQ(st.st_uid, ::geteuid()) << path;
  }
  EXPECT_TRUE(ReadAll(other) == "precious") << "written through the link";
  EXPECT_FALSE(Exists(nowhere)) << "made where the dangling link points";
  EXPECT_TRUE(ReadAll(second_name) == "old data") << "the old file's other name was written";
}

// A file given to a user in a folder where he may not replace it is still
// his to make the image in: it is written in place.
TEST_F(MkimageTest, AFileInAFolderThatKeepsItIsWrittenInPlace) {
  if (::geteuid() != 0 || !ProgramExists("setpriv")) {
    GTEST_SKIP() << "needs root and setpriv to run as another user";
  }
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  const std::string folder = dir_.File("kept");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  const std::string given = folder + "/given.img";
  std::ofstream(given) << "old data";
  ASSERT_EQ(::chown(given.c_str(), 65534, 65534), 0);
  const ProgramResult r = RunProgram({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                      LUDRANE_MKIMAGE, given, "8", "FAT"});
  ExpectSuccess(r);
  EXPECT_EQ(std::filesystem::file_size(given), 8u << 20);

  // A sticky folder lets him make files but not remove one of another's.
  const std::string sticky = dir_.File("sticky");
  ASSERT_EQ(::mkdir(sticky.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
  const std::string shared = sticky + "/shared.img";
  std::ofstream(shared) << "old data";
  ASSERT_EQ(::chmod(shared.c_str(), 0666), 0);
  ExpectSuccess(RunProgram({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            LUDRANE_MKIMAGE, shared, "8", "FAT"}));
  struct stat st;
  ASSERT_EQ(::stat(shared.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 8 << 20);
  EXPECT_EQ(st.st_uid, 0u) << "not written in place";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sticky),
                          std::filesystem::directory_iterator()),
            1)
      << "a new file was left beside it";
}

TEST_F(MkimageTest, AFileSizeLimitIsASystemError) {
  std::string image = dir_.File("disk.img");
  ProgramResult r = MkimageAfter("ulimit -f 1024", {image, "200", "FAT"});
  ExpectRefusal(r, "A system error ' File too large 'occured while writing data to this file .");
}

// On a full file system the writes through the mapped view fail with an
// error instead of killing the program with SIGBUS.
TEST_F(MkimageTest, AFullFileSystemIsASystemError) {
  if (geteuid() != 0 || !ProgramExists("unshare"))
    GTEST_SKIP() << "needs root and unshare to mount a small tmpfs";
  std::string mount_point = dir_.File("small");
  std::filesystem::create_directory(mount_point);
  ProgramResult r = MkimageAfter("mount -t tmpfs -o size=8k quensaria-test " + mount_point,
                                 {mount_point + "/disk.img", "200", "FAT"},
                                 {"unshare", "-m", "--propagation", "private"});
  if (r.exit_code != 1 && r.err.find("mount") != std::string::npos)
    GTEST_SKIP() << "cannot mount here: " << r.err;
  EXPECT_EQ(r.signal, 0) << "killed by signal " << r.signal;
  ExpectRefusal(
      r, "A system error ' No space left on device 'occured while writing data to this file .");
}

TEST_F(MkimageTest, WrongArgumentsShowTheUsage) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"x.img"},
                                             {"x.img", "200"},
                                             {"x.img", "200", "NTFS"},
                                             {"x.img", "-5", "FAT"},
                                             {"x.img", "2e3", "FAT"},
                                             {"x.img", "", "FAT"},
                                             {"", "200", "FAT"},
                                             {"x.img", "200", "FAT", "extra"}}) {
    ProgramResult r = Mkimage(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.rfind("usage: ludrane-mkimage FILE SIZE_MIB FAT|FAT32\n", 0), 0u) << r.err;
  }
  ProgramResult help = Mkimage({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out.rfind("usage: ludrane-mkimage", 0), 0u);
}

// -h and --help ask for the usage wherever they stand, and a word that
// reads as an option is none of the three arguments: neither becomes the
// name of a new image.
TEST_F(MkimageTest, AnOptionIsNoFileName) {
  const std::string in_scratch = "cd '" + dir_.path().string() + "'";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-h", "8", "FAT"}, {"--help", "8", "FAT"}, {"x.img", "8", "FAT", "-h"}}) {
    SCOPED_TRACE(args.front() + " ... " + args.back());
    ProgramResult r = MkimageAfter(in_scratch, args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("usage: ludrane-mkimage", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
  }
  ProgramResult r = MkimageAfter(in_scratch, {"-v", "8", "FAT"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err.rfind("usage: ludrane-mkimage FILE SIZE_MIB FAT|FAT32\n", 0), 0u) << r.err;
  for (const char* name : {"-h", "--help", "x.img", "-v"}) {
    EXPECT_FALSE(Exists(dir_.File(name))) << name << " was created";
  }
}

}  // namespace
}  // namespace quensaria::testing
