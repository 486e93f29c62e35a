// Passwords for the command-line programs, kept out of their command lines
// (which every user sees in the process list) and out of shell history:
// read from the first line of a file, or typed at the terminal without
// echo. Single-threaded programs only: asking changes the terminal's modes
// and the process's handlers of the stop signals while it waits.
#ifndef QUENSARIA_PLATFORM_PASSWORD_INPUT_H_
#define QUENSARIA_PLATFORM_PASSWORD_INPUT_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "shared/status.h"

namespace quensaria::platform {

// Longer lines are refused rather than cut: a cut password would never
// match what its owner types elsewhere.
inline constexpr size_t kMaxPasswordBytes = 1024;

// The file name that stands for standard input.
inline constexpr char kStandardInputName[] = "-";

// Whether reading `file` asks on a terminal: it is "-" and standard input
// is a terminal.
bool AsksOnTerminal(const std::string& file);

// The password that `file` holds: its first line without the line end
// ("\n" or "\r\n"; an empty file is the empty password). For "-", one line
// of standard input, read no further than its end so that a second "-"
// gets the next line; on a terminal that line is asked for with `prompt`,
// as AskPassword does.
Result<std::string> ReadPassword(const std::string& file, std::string_view prompt);

// Writes `prompt` to the terminal `terminal` (open for reading and
// writing) and reads one line from it with echo off; the terminal's modes
// are restored afterwards, and also when a stop signal (SIGINT, SIGTERM,
// SIGHUP, SIGQUIT) ends the program meanwhile. End of input before a line
// end (Ctrl-D) fails with ERROR_OPERATION_ABORTED.
Result<std::string> AskPassword(int terminal, std::string_view prompt);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_PASSWORD_INPUT_H_
