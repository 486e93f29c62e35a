// Console lines as a terminal and as the journal's stream see them.
#include "platform/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "platform/interrupted_write_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "platform/unique_fd.h"

namespace quensaria::platform {
namespace {

using P = ConsolePriority;

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = scratch_.File("console");
    file_.Reset(::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ASSERT_TRUE(file_.valid());
    const char* saved = std::getenv("JOURNAL_STREAM");
    if (saved != nullptr) saved_stream_ = saved;
  }
  void TearDown() override {
    if (saved_stream_.empty()) {
      ::unsetenv("JOURNAL_STREAM");
    } else {
      ::setenv("JOURNAL_STREAM", saved_stream_.c_str(), 1);
    }
  }

  // "device:inode" of the capture file, as systemd sets JOURNAL_STREAM.
  std::string CaptureStream() const {
    struct stat st;
    EXPECT_EQ(::fstat(file_.get(), &st), 0);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }

  // What `write` puts on standard output while it is the capture file.
  std::string Captured(const std::function<void()>& write) {
    std::fflush(stdout);
    EXPECT_EQ(::ftruncate(file_.get(), 0), 0);
    EXPECT_EQ(::lseek(file_.get(), 0, SEEK_SET), 0);
    UniqueFd saved(::dup(STDOUT_FILENO));
    EXPECT_TRUE(saved.valid());
    EXPECT_EQ(::dup2(file_.get(), STDOUT_FILENO), STDOUT_FILENO);
    write();
    EXPECT_EQ(::dup2(saved.get(), STDOUT_FILENO), STDOUT_FILENO);
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  testing::ScratchDir scratch_;
  UniqueFd file_;
  std::string path_;
  std::string saved_stream_;
};

TEST_F(ConsoleTest, OnATerminalLinesAreWrittenAsFormatted) {
  ::unsetenv("JOURNAL_STREAM");
  const std::string out = Captured([] {
    ConsoleLog(P::kError, "bind() failed: %d %s\n", 98, "Address already in use");
    ConsolePrintf("plain %s\n", "news");
  });
  EXPECT_EQ(out, "bind() failed: 98 Address already in use\nplain news\n");
}

TEST_F(ConsoleTest, TheJournalsStreamGetsEachLinesPriority) {
  ::setenv("JOURNAL_STREAM", CaptureStream().c_str(), 1);
  const std::string out = Captured([] {
    EXPECT_TRUE(ConsoleIsJournal());
    ConsoleLog(P::kCritical, "source deleted\n");
    ConsoleLog(P::kWarning, "recv() failed: %d\n", 110);
    ConsolePrintf("running\n");
    ConsoleLog(P::kDebug, "recv() failed: 104 Connection reset by peer\n");
    // Every line of a text is a record of its own, and the last one ends.
    ConsoleLog(P::kError, "RPC Err: %d\nfile = %s, line=%d.", 5, "x", 44);
    ConsoleLog(P::kNotice, "after\n");
  });
  EXPECT_EQ(out,
            "<2>source deleted\n"
            "<4>recv() failed: 110\n"
            "<6>running\n"
            "<7>recv() failed: 104 Connection reset by peer\n"
            "<3>RPC Err: 5\n"
            "<3>file = x, line=44.\n"
            "<5>after\n");
}

// Standard output redirected away from the journal (or an inherited
// variable naming some other stream): no prefixes.
TEST_F(ConsoleTest, AStreamThatIsNotStandardOutputGetsNoPrefix) {
  struct stat st;
  ASSERT_EQ(::stat("/", &st), 0);
  ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(),
           1);
  EXPECT_EQ(Captured([] { ConsoleLog(P::kError, "line\n"); }), "line\n");
  ::setenv("JOURNAL_STREAM", "garbage", 1);
  EXPECT_EQ(Captured([] { ConsoleLog(P::kError, "line\n"); }), "line\n");
}

TEST_F(ConsoleTest, ALineLongerThanItsBufferIsNotWritten) {
  ::setenv("JOURNAL_STREAM", CaptureStream().c_str(), 1);
  const std::string longest(kConsoleLineSize - 2, 'x');
  const std::string too_long(kConsoleLineSize, 'x');
  const std::string out = Captured([&] {
    ConsoleLog(P::kError, "%s\n", too_long.c_str());
    ConsoleLog(P::kError, "%s\n", longest.c_str());
  });
  EXPECT_EQ(out, "<3>" + longest + "\n");
}

// A signal that interrupts a write to a full standard output (a journal or
// a pipe that is slow to read) must not cost the line.
TEST_F(ConsoleTest, ALineWhoseWriteASignalInterruptsIsStillWritten) {
  ::unsetenv("JOURNAL_STREAM");
  const InterruptedWrite interrupted = WriteInterruptedBySignalsForTesting(
      STDOUT_FILENO, [] { ConsolePrintf("a line that waited\n"); });
  ASSERT_EQ(interrupted.setup_error, "");
  ASSERT_TRUE(interrupted.blocked);
  EXPECT_EQ(interrupted.written, "a line that waited\n");
}

}  // namespace
}  // namespace quensaria::platform
