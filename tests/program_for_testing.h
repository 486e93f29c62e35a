// Helpers of the whole-program tests: a program run as a child process
// with its output in a file, the first line of what one printed, and a free
// TCP port.
#ifndef QUENSARIA_TESTS_PROGRAM_FOR_TESTING_H_
#define QUENSARIA_TESTS_PROGRAM_FOR_TESTING_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

extern char** environ;

namespace quensaria::testing {

// A child process: `argv[0]` is the program path; standard output and error
// go to `log_path`. `environment` replaces NOTIFY_SOCKET handling: entries
// "NAME=value" are added, and NOTIFY_SOCKET is removed unless given.
class Program {
 public:
  Program(const std::vector<std::string>& argv, const std::string& log_path,
          const std::vector<std::string>& environment = {})
      : log_path_(log_path) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) env.emplace_back(*e);
    }
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Program() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool started() const { return pid_ > 0; }
  void Signal(int signal) const { kill(pid_, signal); }
  // The exit status once the program ended within `timeout` (-1 when a
  // signal ended it), or nullopt.
  std::optional<int> Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
  }
  std::string Log() const {
    std::ifstream in(log_path_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string log_path_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// The first line of `text`, without its line end.
inline std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// A TCP port on 127.0.0.1 that was free a moment ago.
inline uint16_t FreePort() {
  platform::UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 0;
  socklen_t length = sizeof address;
  getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_PROGRAM_FOR_TESTING_H_
