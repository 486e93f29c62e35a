// The sync calls a program makes (fsync, fdatasync, sync_file_range,
// syncfs, sync), watched with strace: what a client's flush costs the
// service.
#ifndef QUENSARIA_TESTS_SYNC_TRACE_FOR_TESTING_H_
#define QUENSARIA_TESTS_SYNC_TRACE_FOR_TESTING_H_

#include <sys/types.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/velmoran_harness_for_testing.h"

namespace quensaria::harness {

// strace attached to every thread of `pid` while this lives, detached again
// by Stop.
class SyncTrace {
 public:
  SyncTrace(pid_t pid, const std::string& file) : file_(file) {
    daemon_ = Program::Start(
        {"/usr/bin/strace", "-f", "-p", std::to_string(pid), "-e",
         "trace=fsync,fdatasync,sync_file_range,syncfs,sync", "-o", file},
        [](const Program& d) { return d.Log().find("attached") != std::string::npos; });
  }
  bool attached() const {
    return daemon_ && daemon_->running() && daemon_->Log().find("attached") != std::string::npos;
  }
  // Detaches; the calls seen, one line each ("fdatasync(7) = 0").
  std::vector<std::string> Stop() {
    if (daemon_) daemon_->Stop();
    std::vector<std::string> calls;
    std::ifstream in(file_);
    // "PID  NAME(ARGS) = RESULT", or "PID <... NAME resumed>" for the end of
    // a call another thread's line interrupted.
    for (std::string line; std::getline(in, line);) {
      const size_t name = line.find_first_not_of(' ', line.find(' '));
      const size_t open = line.find('(', name);
      if (name == std::string::npos || open == std::string::npos) continue;
      const std::string call = line.substr(name, open - name);
      if (call == "fsync" || call == "fdatasync" || call == "sync_file_range" || call == "syncfs" ||
          call == "sync") {
        calls.push_back(line);
      }
    }
    return calls;
  }

 private:
  std::string file_;
  std::unique_ptr<Program> daemon_;
};

}  // namespace quensaria::harness

#endif  // QUENSARIA_TESTS_SYNC_TRACE_FOR_TESTING_H_
