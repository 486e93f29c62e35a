// "--help" of the two desktop programs: the usage on standard output and
// exit status 0, with no display at all (no X, no Wayland, no Qt platform
// chosen), as a shell or a packaging check runs them.
#include <gtest/gtest.h>

#include <string>

#include "tests/program_for_testing.h"

namespace quensaria {
namespace {

testing::ProgramResult WithoutDisplay(const std::string& program, const std::string& argument) {
  return testing::RunProgram(
      {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", program, argument},
      std::chrono::seconds(60));
}

TEST(DesktopHelpTest, BothProgramsPrintTheirUsageAndExitWithoutADisplay) {
  for (const std::string program : {VELMORAN_MOUNTER, LUDRANE}) {
    const testing::ProgramResult help = WithoutDisplay(program, "--help");
    EXPECT_EQ(help.exit_code, 0) << program << ": " << help.err;
    EXPECT_EQ(help.out.rfind("usage: ", 0), 0u) << program << ": " << help.out;
    EXPECT_NE(help.out.find("--help"), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "") << program;
  }
  const testing::ProgramResult mounter = WithoutDisplay(VELMORAN_MOUNTER, "--help");
  EXPECT_NE(mounter.out.find("-automount"), std::string::npos);
  const testing::ProgramResult ludrane = WithoutDisplay(LUDRANE, "-h");
  EXPECT_EQ(ludrane.exit_code, 0);
  EXPECT_NE(ludrane.out.find("--runtime-dir"), std::string::npos);
  // Without --help they still need a display, and say so instead of
  // printing the usage.
  const testing::ProgramResult window = WithoutDisplay(LUDRANE, "--runtime-dir=/nonexistent");
  EXPECT_NE(window.exit_code, 0);
  EXPECT_EQ(window.out.find("usage: "), std::string::npos);
}

// A runtime directory whose socket path does not fit a socket ends ludrane
// with a status a shell sees as a failure, and says why, before anything
// else is asked.
TEST(DesktopHelpTest, ARuntimeDirectoryTooLongForASocketEndsLudraneWithStatus1) {
  const std::string directory = "/" + std::string(120, 'd');
  const testing::ProgramResult r =
      testing::RunProgram({"env", "QT_QPA_PLATFORM=offscreen", LUDRANE, "--runtime-dir", directory},
                          std::chrono::seconds(60));
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("ludrane: " + directory + "/ncalrpc/quensariasvc: too long for a socket"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace quensaria
