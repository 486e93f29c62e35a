// Programs run by tests: to the end with what they printed collected
// (RunProgram, RunOnTerminal), or in the background with their output in a
// log (Program); and a free TCP port. The whole-program tests drive
// quensaria, velmoran, ludrane-mkimage, fsck.fat, mtools, nasm and qemu
// through this.
#ifndef QUENSARIA_TESTS_PROGRAM_FOR_TESTING_H_
#define QUENSARIA_TESTS_PROGRAM_FOR_TESTING_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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

// The path of the executable `name` in PATH, or "" when there is none.
std::string FindProgram(const std::string& name);
// Whether `name` is an executable in PATH.
bool ProgramExists(const std::string& name);

// The lines of `text`, without their line ends.
std::vector<std::string> Lines(const std::string& text);

// The first line of `text`, without its line end.
inline std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// A TCP port that was free on every address a moment ago, below the range the
// kernel picks ports from, and not given before by this process.
uint16_t FreePort();

// A child process in the background: `argv[0]` is the program's path;
// standard output and error are appended to `log_path`, or, when that is
// empty, to a log of its own that goes with this object. `environment`
// entries ("NAME=value") are added to the test's; NOTIFY_SOCKET is removed
// unless given. A program still running at destruction is stopped as Stop
// does.
class Program {
 public:
  explicit Program(const std::vector<std::string>& argv, const std::string& log_path = "",
                   const std::vector<std::string>& environment = {});
  // Starts `argv` and waits (at most 10 s) until `ready` holds or the
  // program ends; null when it could not be started.
  static std::unique_ptr<Program> Start(const std::vector<std::string>& argv,
                                        const std::function<bool(const Program&)>& ready);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool started() const { return pid_ > 0; }
  // Started, and not yet stopped, killed or seen to end by Wait: a program
  // that died by itself still counts until then, so that Stop reports how.
  bool running() const { return pid_ > 0 && !status_; }
  pid_t pid() const { return pid_; }
  void Signal(int signal) const;
  // The exit status once the program ended within `timeout` (-1 when a
  // signal ended it), or nullopt.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  // SIGTERM, then the exit status within 10 s; else SIGKILL and -1.
  int Stop();
  // SIGKILL: it dies without cleaning up.
  void Kill();
  // Reaps the program if it has ended; whether it has (or never started).
  bool Ended();
  std::string Log() const;

 private:
  std::string log_path_;
  bool own_log_ = false;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_PROGRAM_FOR_TESTING_H_
