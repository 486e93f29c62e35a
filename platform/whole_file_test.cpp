// Whole-file reads and the durable replacement.
#include "platform/whole_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>

#include "platform/scratch_dir_for_testing.h"
#include "shared/win32_error.h"

namespace quensaria::platform {
namespace {

class WholeFileTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Put(const std::string& name, const std::string& data) {
    std::ofstream(Path(name), std::ios::binary) << data;
  }

  // The file's bytes, or a text no test writes when it cannot be read.
  std::string Content(const std::string& name) const {
    Result<std::string> data = ReadWholeFile(Path(name), 100);
    return data.ok() ? *data : "<unreadable>";
  }
  static std::string Followed(const std::string& path) {
    Result<std::string> target = FollowLinks(path);
    return target.ok() ? *target : "<failed>";
  }

  testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.path().string();
};

TEST_F(WholeFileTest, ReadsExactBytesIncludingNuls) {
  const std::string data("a\0b\xff", 4);
  Put("f", data);
  Result<std::string> read = ReadWholeFile(Path("f"), 4);
  ASSERT_TRUE(read.ok()) << read.status().ToString();
  EXPECT_EQ(*read, data);
}

TEST_F(WholeFileTest, MissingFileIsFileNotFound) {
  Result<std::string> read = ReadWholeFile(Path("nothing"), 100);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.status().code(), ERROR_FILE_NOT_FOUND);
}

TEST_F(WholeFileTest, OneByteOverTheCapIsRefused) {
  Put("f", std::string(101, 'x'));
  EXPECT_TRUE(ReadWholeFile(Path("f"), 101).ok());
  Result<std::string> read = ReadWholeFile(Path("f"), 100);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.status().code(), ERROR_FILE_TOO_LARGE);
}

TEST_F(WholeFileTest, HugeSparseFileIsRefusedWithoutReadingIt) {
  { std::ofstream(Path("huge")); }
  ASSERT_EQ(truncate(Path("huge").c_str(), off_t{8} << 30), 0);
  Result<std::string> read = ReadWholeFile(Path("huge"), 1 << 20);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.status().code(), ERROR_FILE_TOO_LARGE);
}

TEST_F(WholeFileTest, DirectoryIsNotAFile) {
  ASSERT_EQ(mkdir(Path("d").c_str(), 0755), 0);
  EXPECT_FALSE(ReadWholeFile(Path("d"), 100).ok());
}

// A pipe in a file's place answers at once: opened plainly, it waits for a
// process at its other end, which the caller may hold the registry lock for.
// Should the call wait after all, the test opens that end and fails.
TEST_F(WholeFileTest, PipeIsNotAFileAndNeverWaitsForAPeer) {
  ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
  struct Attempt {
    const char* what;
    std::function<Status()> call;
    int peer_flags;
  };
  const Attempt attempts[] = {
      {"read", [&] { return ReadWholeFile(Path("pipe"), 100).status(); }, O_WRONLY},
      {"write", [&] { return WriteFileSynced(Path("pipe"), "data", 0600); }, O_RDONLY},
  };
  for (const Attempt& attempt : attempts) {
    SCOPED_TRACE(attempt.what);
    std::future<Status> done = std::async(std::launch::async, attempt.call);
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      const int peer = open(Path("pipe").c_str(), attempt.peer_flags | O_NONBLOCK);
      const Status late = done.get();
      if (peer >= 0) close(peer);
      ADD_FAILURE() << "waited for the other end of the pipe: " << late.ToString();
      continue;
    }
    EXPECT_FALSE(done.get().ok());
  }
}

TEST_F(WholeFileTest, WriteTruncatesAndReplaceSwapsWhole) {
  Put("target", "old content that is longer");
  Put("side", "stale side file, much longer than the new one");
  ASSERT_TRUE(WriteFileSynced(Path("side"), "new").ok());
  ASSERT_TRUE(ReplaceFileSynced(Path("side"), Path("target")).ok());
  EXPECT_EQ(ReadWholeFile(Path("target"), 100).value(), "new");
  EXPECT_FALSE(FileExists(Path("side")));
}

// A link where the file is to be written is not followed: the file it names
// keeps its bytes and its mode.
TEST_F(WholeFileTest, WriteThroughALinkFailsAndLeavesWhatItNamesAlone) {
  Put("elsewhere", "not ours");
  ASSERT_EQ(chmod(Path("elsewhere").c_str(), 0644), 0);
  std::filesystem::create_symlink("elsewhere", Path("side"));
  EXPECT_FALSE(WriteFileSynced(Path("side"), "new", 0600).ok());
  EXPECT_EQ(ReadWholeFile(Path("elsewhere"), 100).value(), "not ours");
  struct stat st;
  ASSERT_EQ(stat(Path("elsewhere").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(WholeFileTest, FailedReplaceLeavesTargetAlone) {
  Put("target", "keep me");
  Status status = ReplaceFileSynced(Path("missing"), Path("target"));
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(ReadWholeFile(Path("target"), 100).value(), "keep me");
}

TEST_F(WholeFileTest, WriteIntoMissingDirectoryFails) {
  EXPECT_FALSE(WriteFileSynced(Path("no/such/dir/f"), "x").ok());
}

TEST_F(WholeFileTest, RemoveOfMissingFileSucceeds) {
  Put("f", "x");
  EXPECT_TRUE(RemoveFile(Path("f")).ok());
  EXPECT_FALSE(FileExists(Path("f")));
  EXPECT_TRUE(RemoveFile(Path("f")).ok());
}

TEST_F(WholeFileTest, NoReplaceMovesAndCreatesLeaveAnExistingFileAlone) {
  Put("old", "old");
  Put("from", "from");
  Status moved = MoveFileNoReplace(Path("from"), Path("old"));
  EXPECT_EQ(moved.code(), ERROR_FILE_EXISTS) << moved.ToString();
  EXPECT_EQ(Content("old"), "old");
  EXPECT_EQ(Content("from"), "from");
  ASSERT_TRUE(MoveFileNoReplace(Path("from"), Path("new")).ok());
  EXPECT_FALSE(FileExists(Path("from")));
  EXPECT_EQ(Content("new"), "from");

  EXPECT_EQ(CreateFileSynced(Path("old"), "other").code(), ERROR_FILE_EXISTS);
  EXPECT_EQ(Content("old"), "old");
  // Not even through a link to a file not there yet.
  std::filesystem::create_symlink("elsewhere", Path("link"));
  EXPECT_EQ(CreateFileSynced(Path("link"), "x").code(), ERROR_FILE_EXISTS);
  EXPECT_FALSE(FileExists(Path("elsewhere")));
  ASSERT_TRUE(CreateFileSynced(Path("fresh"), "fresh").ok());
  EXPECT_EQ(Content("fresh"), "fresh");
}

uint32_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// Files of secrets get their mode whatever the umask says, and an existing
// file written again loses the wider mode it had.
TEST_F(WholeFileTest, WrittenAndCreatedFilesGetTheModeAsked) {
  const mode_t umask_before = ::umask(0);
  ASSERT_TRUE(WriteFileSynced(Path("written"), "x", 0600).ok());
  ASSERT_TRUE(CreateFileSynced(Path("created"), "x", 0600).ok());
  Put("existing", "wider");
  ASSERT_EQ(::chmod(Path("existing").c_str(), 0666), 0);
  ASSERT_TRUE(WriteFileSynced(Path("existing"), "narrower", 0600).ok());
  ::umask(umask_before);
  EXPECT_EQ(ModeOf(Path("written")), 0600u);
  EXPECT_EQ(ModeOf(Path("created")), 0600u);
  EXPECT_EQ(ModeOf(Path("existing")), 0600u);
  EXPECT_EQ(Content("existing"), "narrower");
}

TEST_F(WholeFileTest, NarrowingTakesBitsAwayAndNeverAddsOne) {
  const struct {
    uint32_t before;
    uint32_t after;
  } rows[] = {{0644, 0600}, {0666, 0600}, {0604, 0600}, {0600, 0600}, {0400, 0400}, {0000, 0000}};
  for (const auto& row : rows) {
    Put("f", "digest");
    ASSERT_EQ(::chmod(Path("f").c_str(), row.before), 0);
    Result<uint32_t> before = NarrowFileMode(Path("f"), 0600);
    ASSERT_TRUE(before.ok()) << before.status().ToString();
    EXPECT_EQ(*before, row.before);
    EXPECT_EQ(ModeOf(Path("f")), row.after) << std::oct << row.before;
  }
  // Through a link, the file it names.
  ASSERT_EQ(::chmod(Path("f").c_str(), 0644), 0);
  std::filesystem::create_symlink("f", Path("link"));
  ASSERT_TRUE(NarrowFileMode(Path("link"), 0600).ok());
  EXPECT_EQ(ModeOf(Path("f")), 0600u);
  EXPECT_EQ(NarrowFileMode(Path("missing"), 0600).status().code(), ERROR_FILE_NOT_FOUND);
}

TEST_F(WholeFileTest, FollowLinksToTheFileALinkChainNames) {
  std::filesystem::create_directories(Path("sub/deeper"));
  Put("sub/deeper/real", "x");
  std::filesystem::create_symlink("deeper/real",
                                  Path("sub/relative"));  // from the link's directory
  std::filesystem::create_symlink(Path("sub/relative"), Path("absolute"));
  EXPECT_EQ(Followed(Path("absolute")), Path("sub/deeper/real"));
  EXPECT_EQ(Followed(Path("sub/deeper/real")), Path("sub/deeper/real"));
  EXPECT_EQ(Followed(Path("missing")), Path("missing"));
  std::filesystem::create_symlink("nowhere", Path("dangling"));
  EXPECT_EQ(Followed(Path("dangling")), Path("nowhere"));
  std::filesystem::create_symlink("loop-b", Path("loop-a"));
  std::filesystem::create_symlink("loop-a", Path("loop-b"));
  EXPECT_FALSE(FollowLinks(Path("loop-a")).ok());
}

TEST(DirectoryOfTest, Forms) {
  EXPECT_EQ(DirectoryOf("/a/b/c"), "/a/b");
  EXPECT_EQ(DirectoryOf("/c"), "/");
  EXPECT_EQ(DirectoryOf("c"), ".");
  EXPECT_EQ(DirectoryOf("a/c"), "a");
}

}  // namespace
}  // namespace quensaria::platform
