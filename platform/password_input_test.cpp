// Passwords from files, from standard input and typed at a terminal (a
// pseudo-terminal here) without echo.
#include "platform/password_input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/scratch_dir_for_testing.h"
#include "platform/unique_fd.h"
#include "shared/win32_error.h"

namespace quensaria::platform {
namespace {

std::string Read(const std::string& file) {
  Result<std::string> password = ReadPassword(file, "unused: ");
  return password.ok() ? *password : "<failed: " + password.status().message() + ">";
}

TEST(PasswordInputTest, AFileGivesItsFirstLineWithoutTheLineEnd) {
  testing::ScratchDir scratch;
  const auto put = [&](const std::string& name, const std::string& data) {
    const std::string path = scratch.path().string() + "/" + name;
    std::ofstream(path, std::ios::binary) << data;
    return path;
  };
  EXPECT_EQ(Read(put("plain", "open sesame\nsecond line\n")), "open sesame");
  EXPECT_EQ(Read(put("crlf", "dos\r\n")), "dos");
  EXPECT_EQ(Read(put("unended", "no line end")), "no line end");
  EXPECT_EQ(Read(put("empty", "")), "");
  EXPECT_EQ(Read(put("blank", "\n")), "");
  EXPECT_EQ(Read(put("spaces", "  inner  spaces \n")), "  inner  spaces ");
  EXPECT_EQ(Read(put("longest", std::string(kMaxPasswordBytes, 'x') + "\n")),
            std::string(kMaxPasswordBytes, 'x'));
  // The line end's carriage return is no byte of the password.
  EXPECT_EQ(Read(put("longest crlf", std::string(kMaxPasswordBytes, 'x') + "\r\n")),
            std::string(kMaxPasswordBytes, 'x'));

  Result<std::string> too_long =
      ReadPassword(put("long", std::string(kMaxPasswordBytes + 1, 'x')), "");
  ASSERT_FALSE(too_long.ok());
  EXPECT_NE(too_long.status().message().find("more than 1024 bytes"), std::string::npos);
  Result<std::string> missing = ReadPassword(scratch.path().string() + "/none", "");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().code(), ERROR_FILE_NOT_FOUND);
}

TEST(PasswordInputTest, StandardInputGivesOneLineEachTime) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const std::string lines = "first\nsecond\n";
  ASSERT_EQ(::write(pipe_fds[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  ::close(pipe_fds[1]);
  const int saved = ::dup(STDIN_FILENO);
  ASSERT_GE(saved, 0);
  ::dup2(pipe_fds[0], STDIN_FILENO);
  ::close(pipe_fds[0]);
  EXPECT_FALSE(AsksOnTerminal("-"));
  const std::string first = Read("-");
  const std::string second = Read("-");
  const std::string after_the_end = Read("-");
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
  EXPECT_EQ(first, "first");
  EXPECT_EQ(second, "second");
  EXPECT_EQ(after_the_end, "");
}

// A pseudo-terminal: the master side plays the user and the screen.
class TerminalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(master_);
    ASSERT_EQ(::grantpt(master_.get()), 0);
    ASSERT_EQ(::unlockpt(master_.get()), 0);
    terminal_.Reset(::open(::ptsname(master_.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(terminal_);
    ASSERT_TRUE(Echoes()) << "a new terminal echoes";
  }

  bool Echoes() const {
    termios modes;
    return ::tcgetattr(terminal_.get(), &modes) == 0 && (modes.c_lflag & ECHO) != 0;
  }

  // What the terminal showed, read until `until` appears (or for 100 ms of
  // silence when `until` is empty); gives up after 30 s.
  std::string Screen(const std::string& until) {
    std::string shown;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      if (!until.empty() && shown.find(until) != std::string::npos) break;
      pollfd ready{master_.get(), POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) {
        if (until.empty()) break;
        continue;
      }
      char buffer[256];
      const ssize_t n = ::read(master_.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      shown.append(buffer, static_cast<size_t>(n));
    }
    return shown;
  }

  void Type(const std::string& keys) {
    ASSERT_EQ(::write(master_.get(), keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  UniqueFd master_;
  UniqueFd terminal_;
};

TEST_F(TerminalTest, ATypedPasswordIsNotEchoedAndTheEchoComesBack) {
  Result<std::string> typed = Status(ERROR_GEN_FAILURE, "not asked");
  std::thread asking([&] { typed = AskPassword(terminal_.get(), "Password: "); });
  EXPECT_NE(Screen("Password: ").find("Password: "), std::string::npos);
  Type("s3cret words\n");
  asking.join();
  ASSERT_TRUE(typed.ok()) << typed.status().message();
  EXPECT_EQ(*typed, "s3cret words");
  const std::string after = Screen("");
  EXPECT_EQ(after.find("s3cret"), std::string::npos) << "echoed: " << after;
  EXPECT_NE(after.find('\n'), std::string::npos) << "the line end is shown";
  EXPECT_TRUE(Echoes());
}

TEST_F(TerminalTest, EndOfInputCancels) {
  Result<std::string> typed = std::string("not asked");
  std::thread asking([&] { typed = AskPassword(terminal_.get(), "Password: "); });
  Screen("Password: ");
  Type("\x04");  // Ctrl-D on an empty line
  asking.join();
  ASSERT_FALSE(typed.ok());
  EXPECT_EQ(typed.status().code(), ERROR_OPERATION_ABORTED);
  EXPECT_TRUE(Echoes());
}

TEST_F(TerminalTest, AStopSignalWhileAskingLeavesTheTerminalEchoing) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    (void)AskPassword(terminal_.get(), "Password: ");
    ::_exit(0);
  }
  Screen("Password: ");
  termios modes;
  ASSERT_EQ(::tcgetattr(terminal_.get(), &modes), 0);
  EXPECT_EQ(modes.c_lflag & ECHO, 0u) << "no echo while asking";
  ASSERT_EQ(::kill(child, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(Echoes());
}

TEST(PasswordInputTest, AskingSomethingThatIsNoTerminalFails) {
  testing::ScratchDir scratch;
  UniqueFd file(
      ::open((scratch.path().string() + "/f").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(file);
  EXPECT_FALSE(AskPassword(file.get(), "Password: ").ok());
}

}  // namespace
}  // namespace quensaria::platform
