#include "mounter/command_line.h"

#include <gtest/gtest.h>

namespace quensaria::mounter {
namespace {

StartMode Parse(std::initializer_list<const char*> args) {
  std::vector<const char*> argv{"velmoran-mounter"};
  argv.insert(argv.end(), args.begin(), args.end());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLineTest, OnlyOneExactArgumentCounts) {
  EXPECT_EQ(Parse({}), StartMode::kNormal);
  EXPECT_EQ(Parse({"-a"}), StartMode::kHidden);
  EXPECT_EQ(Parse({"-automount"}), StartMode::kAutoMount);
  EXPECT_EQ(Parse({"--help"}), StartMode::kHelp);
  EXPECT_EQ(Parse({"--help", "-a"}), StartMode::kNormal);
  // Case, extra arguments and near misses all start normally.
  EXPECT_EQ(Parse({"-A"}), StartMode::kNormal);
  EXPECT_EQ(Parse({"-Automount"}), StartMode::kNormal);
  EXPECT_EQ(Parse({"-automount", "x"}), StartMode::kNormal);
  EXPECT_EQ(Parse({"-a", "-a"}), StartMode::kNormal);
  EXPECT_EQ(Parse({"--automount"}), StartMode::kNormal);
  EXPECT_EQ(Parse({"-auto"}), StartMode::kNormal);
}

}  // namespace
}  // namespace quensaria::mounter
