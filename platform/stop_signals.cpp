#include "platform/stop_signals.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"

namespace quensaria::platform {
namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

Result<std::unique_ptr<StopSignals>> StopSignals::Install() {
  ::signal(SIGPIPE, SIG_IGN);
  const sigset_t set = StopSet();
  const int blocked = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (blocked != 0) return ErrnoStatus("pthread_sigmask", blocked);
  UniqueFd signals(::signalfd(-1, &set, SFD_CLOEXEC));
  if (!signals) return ErrnoStatus("signalfd", errno);
  UniqueFd cancel(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!cancel) return ErrnoStatus("eventfd", errno);
  return std::unique_ptr<StopSignals>(new StopSignals(std::move(signals), std::move(cancel)));
}

StopSignals::~StopSignals() {
  const sigset_t set = StopSet();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int StopSignals::Wait() {
  for (;;) {
    pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {cancel_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (fds[1].revents != 0) return 0;
    signalfd_siginfo info;
    const ssize_t n = ::read(signals_.get(), &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
  }
}

void StopSignals::Cancel() { SignalEventFd(cancel_.get()); }

}  // namespace quensaria::platform
