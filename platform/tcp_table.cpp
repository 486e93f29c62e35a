#include "platform/tcp_table.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unordered_map>

namespace quensaria::platform {
namespace {

constexpr int kEstablished = 1;
constexpr int kListen = 10;

// "0100007F:EA60": the address as the kernel prints it (its 32-bit words
// in host order, which on this machine reads back as network order) and
// the port in hexadecimal.
bool ParseEndpoint(const std::string& text, bool ipv6, uint32_t* address, uint16_t* port,
                   bool* any) {
  const size_t colon = text.find(':');
  const size_t digits = ipv6 ? 32 : 8;
  if (colon != digits || text.size() != colon + 5) return false;
  uint32_t words[4] = {};
  for (size_t w = 0; w < digits / 8; ++w) {
    char* end = nullptr;
    const std::string word = text.substr(w * 8, 8);
    words[w] = static_cast<uint32_t>(std::strtoul(word.c_str(), &end, 16));
    if (end != word.c_str() + 8) return false;
  }
  char* end = nullptr;
  const std::string port_text = text.substr(colon + 1);
  *port = static_cast<uint16_t>(std::strtoul(port_text.c_str(), &end, 16));
  if (end != port_text.c_str() + 4) return false;
  if (!ipv6) {
    *address = words[0];
    *any = words[0] == 0;
    return true;
  }
  // ::ffff:a.b.c.d carries an IPv4 address; any other IPv6 address has none.
  const bool all_zero = words[0] == 0 && words[1] == 0 && words[2] == 0 && words[3] == 0;
  const bool mapped = words[0] == 0 && words[1] == 0 && words[2] == 0xFFFF0000u;
  *address = mapped ? words[3] : 0;
  *any = all_zero;
  return true;
}

std::vector<TcpSocketLine> ReadTable(const char* path, bool ipv6) {
  std::vector<TcpSocketLine> sockets;
  std::ifstream table(path);
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    TcpSocketLine parsed;
    if (ParseTcpSocketLine(line, ipv6, &parsed)) sockets.push_back(parsed);
  }
  return sockets;
}

std::vector<TcpSocketLine> AllSockets() {
  std::vector<TcpSocketLine> sockets = ReadTable("/proc/net/tcp", false);
  for (const TcpSocketLine& line : ReadTable("/proc/net/tcp6", true)) sockets.push_back(line);
  return sockets;
}

std::string ProgramName(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// Socket inode -> a process that holds it, among the processes whose
// descriptors this user may read.
std::unordered_map<uint64_t, pid_t> SocketOwners() {
  std::unordered_map<uint64_t, pid_t> owners;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return owners;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    const std::string fd_dir = std::string("/proc/") + entry->d_name + "/fd";
    DIR* fds = ::opendir(fd_dir.c_str());
    if (fds == nullptr) continue;  // another user's process
    while (const dirent* fd = ::readdir(fds)) {
      char target[64];
      const std::string link = fd_dir + "/" + fd->d_name;
      const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      unsigned long long inode = 0;
      if (std::sscanf(target, "socket:[%llu]", &inode) == 1) {
        owners.emplace(inode, static_cast<pid_t>(pid));
      }
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  return owners;
}

}  // namespace

bool ParseTcpSocketLine(const std::string& line, bool ipv6, TcpSocketLine* parsed) {
  // "  sl  local_address rem_address   st tx_queue:rx_queue tr:tm->when retrnsmt   uid  timeout
  // inode"
  std::istringstream fields(line);
  std::string slot, local, remote, state, queues, timer, retransmits;
  unsigned long uid = 0, timeout = 0;
  unsigned long long inode = 0;
  if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode)) {
    return false;
  }
  TcpSocketLine out;
  out.ipv6 = ipv6;
  bool remote_any = false;
  if (!ParseEndpoint(local, ipv6, &out.local_address, &out.local_port, &out.local_any) ||
      !ParseEndpoint(remote, ipv6, &out.remote_address, &out.remote_port, &remote_any)) {
    return false;
  }
  char* end = nullptr;
  out.state = static_cast<int>(std::strtol(state.c_str(), &end, 16));
  if (end == state.c_str()) return false;
  out.uid = static_cast<uid_t>(uid);
  out.inode = inode;
  *parsed = out;
  return true;
}

std::vector<TcpListener> TcpListenersOn(uint16_t port) {
  std::vector<TcpListener> listeners;
  std::unordered_map<uint64_t, pid_t> owners;
  bool owners_read = false;
  for (const TcpSocketLine& socket : AllSockets()) {
    if (socket.state != kListen || socket.local_port != port) continue;
    if (!owners_read) {
      owners = SocketOwners();
      owners_read = true;
    }
    TcpListener listener;
    listener.address = socket.local_any ? 0 : socket.local_address;
    listener.ipv6 = socket.ipv6;
    listener.uid = socket.uid;
    const auto owner = owners.find(socket.inode);
    if (owner != owners.end()) {
      listener.pid = owner->second;
      listener.program = ProgramName(owner->second);
    }
    listeners.push_back(listener);
  }
  return listeners;
}

bool TcpConnectionEstablished(uint32_t address, uint16_t port) {
  for (const TcpSocketLine& socket : AllSockets()) {
    if (socket.state == kEstablished && socket.remote_port == port &&
        socket.remote_address == address) {
      return true;
    }
  }
  return false;
}

}  // namespace quensaria::platform
