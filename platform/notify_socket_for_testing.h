// Plays systemd's notification socket in tests: a datagram socket at a path
// a program is given as NOTIFY_SOCKET, and the reports it sends there.
#ifndef QUENSARIA_PLATFORM_NOTIFY_SOCKET_FOR_TESTING_H_
#define QUENSARIA_PLATFORM_NOTIFY_SOCKET_FOR_TESTING_H_

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <string>
#include <utility>

#include "platform/unique_fd.h"

namespace quensaria::testing {

class NotifySocket {
 public:
  // Binds at `path` (in the test's scratch folder); see valid().
  explicit NotifySocket(std::string path)
      : path_(std::move(path)), socket_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      socket_.Reset();
    }
  }

  bool valid() const { return socket_.valid(); }
  // What NOTIFY_SOCKET must say.
  const std::string& path() const { return path_; }

  // The next report ("READY=1"), waiting for it up to `patience`; "" when
  // none came.
  std::string Next(std::chrono::milliseconds patience) {
    pollfd ready{socket_.get(), POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(patience.count())) != 1) return "";
    char buffer[256];
    const ssize_t n = ::recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

 private:
  std::string path_;
  platform::UniqueFd socket_;
};

}  // namespace quensaria::testing

#endif  // QUENSARIA_PLATFORM_NOTIFY_SOCKET_FOR_TESTING_H_
