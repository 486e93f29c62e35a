// The kernel's table of this network namespace's TCP sockets
// (/proc/net/tcp and tcp6), for the desktop programs' diagnostics: who
// listens on a port an export could not take, and whether a drive's
// connection to its server is still up. Owners are found through
// /proc/PID/fd where this user may look; other users' processes stay
// unnamed. Reads files only; any thread.
#ifndef QUENSARIA_PLATFORM_TCP_TABLE_H_
#define QUENSARIA_PLATFORM_TCP_TABLE_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quensaria::platform {

struct TcpListener {
  uint32_t address = 0;  // IPv4, network byte order; 0 for any (and for IPv6's any)
  bool ipv6 = false;
  uid_t uid = 0;        // the socket's owner
  pid_t pid = 0;        // a process holding it, 0 when it cannot be seen
  std::string program;  // that process's name (/proc/PID/comm), or empty
};

// The sockets listening on TCP port `port` (host order).
std::vector<TcpListener> TcpListenersOn(uint16_t port);

// Whether a TCP connection from this machine to `address`:`port` (network
// order and host order) is established now.
bool TcpConnectionEstablished(uint32_t address, uint16_t port);

// One line of /proc/net/tcp[6], parsed; for tests of the parser.
struct TcpSocketLine {
  uint32_t local_address = 0;  // network order (IPv4-mapped IPv6 too); 0 for other IPv6
  uint16_t local_port = 0;     // host order
  uint32_t remote_address = 0;
  uint16_t remote_port = 0;
  int state = 0;  // the kernel's TCP state: 1 established, 10 listen
  uid_t uid = 0;
  uint64_t inode = 0;
  bool ipv6 = false;
  bool local_any = false;  // bound to every address
};
bool ParseTcpSocketLine(const std::string& line, bool ipv6, TcpSocketLine* parsed);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_TCP_TABLE_H_
