// Runs a program for a test and collects what it printed: the whole-program
// tests drive ludrane-mkimage, fsck.fat, mtools and nasm through this.
#ifndef QUENSARIA_TESTS_PROGRAM_RUN_FOR_TESTING_H_
#define QUENSARIA_TESTS_PROGRAM_RUN_FOR_TESTING_H_

#include <chrono>
#include <string>
#include <vector>

namespace quensaria::testing {

struct ProgramResult {
  int exit_code = -1;      // -1 when it did not exit by itself
  int signal = 0;          // the signal that ended it, if one did
  bool timed_out = false;  // killed after the time limit
  std::string out;
  std::string err;
};

// Runs argv[0] (searched in PATH unless it has a slash) with `argv` and the
// test's environment plus `environment` ("NAME=value"), standard input from
// /dev/null. Killed after `limit`.
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         std::chrono::seconds limit = std::chrono::seconds(120),
                         const std::vector<std::string>& environment = {});

// What to type at a terminal once the program has shown `prompt`.
struct TerminalAnswer {
  std::string prompt;
  std::string keys;
};

// Runs argv[0] as RunProgram does, but on a terminal of its own (a new
// session whose controlling terminal is a pseudo-terminal, on standard
// input, output and error), typing each answer's keys once its prompt has
// appeared since the previous answer. `out` is everything the terminal
// showed (output and error, with the terminal's line ends); `err` is empty.
ProgramResult RunOnTerminal(const std::vector<std::string>& argv,
                            const std::vector<TerminalAnswer>& answers,
                            std::chrono::seconds limit = std::chrono::seconds(120));

// Whether `name` is an executable in PATH.
bool ProgramExists(const std::string& name);

// The lines of `text`, without their line ends.
std::vector<std::string> Lines(const std::string& text);

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_PROGRAM_RUN_FOR_TESTING_H_
