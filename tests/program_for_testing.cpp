#include "tests/program_for_testing.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/eventually_for_testing.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace quensaria::testing {
namespace {

// How often a program in the background is looked at.
constexpr auto kPoll = std::chrono::milliseconds(10);

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, std::chrono::seconds limit,
                         const std::vector<std::string>& environment) {
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  env_strings.insert(env_strings.end(), environment.begin(), environment.end());
  std::vector<char*> args, env;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (std::string& e : env_strings) env.push_back(e.data());
  env.push_back(nullptr);

  pid_t pid;
  int spawned = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  ProgramResult result;
  if (spawned != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.err = "cannot run " + argv[0];
    return result;
  }

  auto deadline = std::chrono::steady_clock::now() + limit;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_pipes = 2;
  while (open_pipes > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  for (pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ProgramResult RunOnTerminal(const std::vector<std::string>& argv,
                            const std::vector<TerminalAnswer>& answers,
                            std::chrono::seconds limit) {
  // Everything the child needs is made before it exists: it may only exec.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) {
    execvp(args[0], args.data());
    _exit(127);
  }

  ProgramResult result;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  size_t answered = 0;
  size_t seen = 0;  // of result.out, before which the last prompt was found
  for (;;) {
    if (answered < answers.size()) {
      const size_t at = result.out.find(answers[answered].prompt, seen);
      if (at != std::string::npos) {
        const std::string& keys = answers[answered].keys;
        if (write(terminal, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) break;
        seen = at + answers[answered].prompt.size();
        ++answered;
        continue;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    pollfd ready{terminal, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(terminal, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the program and its terminal are gone
    result.out.append(buffer, static_cast<size_t>(n));
  }
  close(terminal);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

bool ProgramExists(const std::string& name) { return !FindProgram(name).empty(); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

uint16_t FreePort() {
  // Below the range the kernel hands to outgoing connections and to
  // listeners on port 0, from which another test's connection could take
  // the port before the program binds it; and none given before, which the
  // program it went to may not have bound yet.
  static std::mutex mutex;
  static std::set<uint16_t> given;
  static std::mt19937 random{std::random_device{}()};
  constexpr int kFirst = 10000;
  int low = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
  if (low <= kFirst) return 0;
  std::scoped_lock lock(mutex);
  std::uniform_int_distribution<int> pick(kFirst, low - 1);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const auto port = static_cast<uint16_t>(pick(random));
    if (given.count(port) != 0) continue;
    platform::UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);  // free on every address, as an export binds
    address.sin_port = htons(port);
    if (probe.valid() &&
        bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      given.insert(port);
      return port;
    }
  }
  return 0;
}

Program::Program(const std::vector<std::string>& argv, const std::string& log_path,
                 const std::vector<std::string>& environment)
    : log_path_(log_path) {
  if (log_path_.empty()) {
    static std::atomic<int> started = 0;  // one log per program
    log_path_ =
        (std::filesystem::temp_directory_path() / ("quensaria-program-" + std::to_string(getpid()) +
                                                   "-" + std::to_string(++started) + ".log"))
            .string();
    own_log_ = true;
  }
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
  posix_spawn_file_actions_addopen(&actions, 1, log_path_.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND | (own_log_ ? O_TRUNC : 0), 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

std::unique_ptr<Program> Program::Start(const std::vector<std::string>& argv,
                                        const std::function<bool(const Program&)>& ready) {
  auto program = std::make_unique<Program>(argv);
  if (!program->started()) return nullptr;
  Eventually([&] { return program->Ended() || ready(*program); }, std::chrono::seconds(10), kPoll);
  return program;
}

Program::~Program() {
  if (running()) Stop();
  if (own_log_) {
    std::error_code ignored;
    std::filesystem::remove(log_path_, ignored);
  }
}

bool Program::Ended() {
  if (pid_ <= 0 || status_) return true;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

void Program::Signal(int signal) const {
  if (running()) kill(pid_, signal);
}

std::optional<int> Program::Wait(std::chrono::milliseconds timeout) {
  if (!Eventually([this] { return Ended(); }, timeout, kPoll)) return std::nullopt;
  return status_;
}

int Program::Stop() {
  if (!running()) return status_.value_or(-1);  // a program that ended is reported as it ended
  kill(pid_, SIGTERM);
  if (const std::optional<int> status = Wait(std::chrono::seconds(10))) return *status;
  Kill();
  return -1;
}

void Program::Kill() {
  if (!running()) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  status_ = -1;
}

std::string Program::Log() const {
  std::ifstream in(log_path_);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace quensaria::testing
