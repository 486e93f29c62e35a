// The driver's debug lines on standard error.
#include "driver/debug_print.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/interrupted_write_for_testing.h"

namespace quensaria::driver {
namespace {

// A signal that interrupts the write to a full standard error (the
// journal's stream or a pipe that is slow to read) must not cost the line.
TEST(DebugPrintTest, ALineWhoseWriteASignalInterruptsIsStillWritten) {
  const platform::InterruptedWrite interrupted = platform::WriteInterruptedBySignalsForTesting(
      STDERR_FILENO, [] { DebugPrint("a line that waited"); });
  ASSERT_EQ(interrupted.setup_error, "");
  ASSERT_TRUE(interrupted.blocked);
  EXPECT_EQ(interrupted.written, "a line that waited\n");
}

}  // namespace
}  // namespace quensaria::driver
