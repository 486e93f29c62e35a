#include "service/management/management_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <string>
#include <system_error>

#include "platform/console.h"
#include "platform/errors.h"
#include "platform/whole_file.h"
#include "service/management/association.h"
#include "service/management/call_dispatch.h"
#include "shared/dcerpc.h"
#include "shared/management_interface.h"
#include "shared/win32_error.h"

namespace quensaria::management {
namespace {

constexpr mode_t kSocketMode = 0660;
constexpr mode_t kDirectoryMode = 0755;
constexpr char kStubFile[] = ".\\zeltosvcrpcs";

void ReportRpcError(uint32_t status, int line) {
  platform::ConsoleLog(platform::ConsolePriority::kError, "RPC Err: %d\nfile = %s, line=%d.",
                       static_cast<int>(status), kStubFile, line);
}

// Whoever may write to a directory on the way to the socket (without the
// sticky bit, which keeps others' files safe) may put a socket of his own
// in its place, to be handed every export's digests by the configurator;
// the socket's own directory is the service's: not even its group writes.
// The owner of the socket's directory or of the runtime directory may do
// as much whatever their mode: both must be root's or the service's own
// (those above are the administrator's choice, such as a checkout of his
// own served from as root). Empty when the directories may be used, else
// why not.
std::string WhyNotPrivate(const std::string& directory) {
  char* resolved = ::realpath(directory.c_str(), nullptr);
  if (resolved == nullptr) return platform::ErrnoStatus("realpath " + directory, errno).message();
  std::string path = resolved;
  std::free(resolved);
  for (int level = 0;; ++level) {
    const bool own = level == 0;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      return platform::ErrnoStatus("stat " + path, errno).message();
    }
    const mode_t writable_by_others = own ? S_IWGRP | S_IWOTH : S_IWOTH;
    if ((st.st_mode & writable_by_others) != 0 && (st.st_mode & S_ISVTX) == 0) {
      return path + ": writable by other users: the management socket is not made there";
    }
    if (level <= 1 && st.st_uid != 0 && st.st_uid != ::geteuid()) {
      return path + ": owned by another user: the management socket is not made there";
    }
    if (path == "/") return {};
    path = platform::DirectoryOf(path);
  }
}

}  // namespace

ManagementServer::ManagementServer(Operations& operations, std::string runtime_directory,
                                   ManagementLimits limits, gid_t socket_group)
    : operations_(operations),
      runtime_directory_(std::move(runtime_directory)),
      limits_(limits),
      socket_group_(socket_group) {}

ManagementServer::~ManagementServer() { Shutdown(); }

std::string ManagementServer::EndpointPath() const {
  return runtime_directory_ + "/" + kLocalProtocolDirectory + "/" + kManagementEndpoint;
}

uint32_t ManagementServer::UseEndpoint(std::string* problem) {
  std::scoped_lock lock(mutex_);
  if (listener_) return rpc::RPC_S_OK;
  const std::string path = EndpointPath();
  Status made = platform::MakeDirectories(platform::DirectoryOf(path), kDirectoryMode);
  if (!made.ok()) {
    if (problem) *problem = made.message();
    return rpc::RPC_S_CANT_CREATE_ENDPOINT;
  }
  const std::string why_not = WhyNotPrivate(platform::DirectoryOf(path));
  if (!why_not.empty()) {
    if (problem) *problem = why_not;
    return rpc::RPC_S_CANT_CREATE_ENDPOINT;
  }
  Result<std::unique_ptr<platform::UnixListener>> listener =
      platform::UnixListener::Listen(path, kSocketMode, socket_group_);
  if (!listener.ok()) {
    if (problem) *problem = listener.status().message();
    return rpc::RPC_S_CANT_CREATE_ENDPOINT;
  }
  listener_ = std::move(listener).value();
  return rpc::RPC_S_OK;
}

uint32_t ManagementServer::RegisterInterface() {
  registered_ = true;
  return rpc::RPC_S_OK;
}

uint32_t ManagementServer::InquireBindings(std::vector<std::string>& bindings) {
  std::scoped_lock lock(mutex_);
  if (!listener_) return rpc::RPC_S_NO_BINDINGS;
  bindings = {"ncalrpc:[" + listener_->path() + "]"};
  return rpc::RPC_S_OK;
}

uint32_t ManagementServer::Listen() {
  {
    std::scoped_lock lock(mutex_);
    if (listening_) return rpc::RPC_S_ALREADY_LISTENING;
    if (!listener_) return rpc::RPC_S_NO_PROTSEQS_REGISTERED;
    if (shutdown_) return rpc::RPC_S_OK;
    listening_ = true;
  }
  for (;;) {
    Result<platform::UniqueFd> accepted = listener_->Accept();
    std::unique_lock lock(mutex_);
    ReapFinished(false);
    if (shutdown_) break;
    if (!accepted.ok()) {
      if (accepted.status().code() == ERROR_OPERATION_ABORTED) break;
      // Out of descriptors or similar: do not spin while it lasts.
      changed_.wait_for(lock, std::chrono::milliseconds(100), [this] { return shutdown_; });
      continue;
    }
    const pid_t peer = platform::PeerProcess(accepted->get());
    if (OverLimit(peer)) continue;  // closes the surplus connection
    Connection& connection = connections_.emplace_back();
    connection.fd = std::move(accepted).value();
    connection.peer = peer;
    ++active_;
    try {
      connection.thread = std::thread([this, &connection] { Serve(connection); });
    } catch (const std::system_error&) {
      // No thread to be had: this peer is turned away, the others go on.
      --active_;
      connections_.pop_back();
    }
  }
  std::scoped_lock lock(mutex_);
  for (Connection& connection : connections_) platform::ShutdownSocket(connection.fd.get());
  ReapFinished(true);
  listening_ = false;
  changed_.notify_all();
  return rpc::RPC_S_OK;
}

void ManagementServer::Shutdown() {
  std::unique_lock lock(mutex_);
  shutdown_ = true;
  if (listener_) listener_->Shutdown();
  changed_.notify_all();
  changed_.wait(lock, [this] { return !listening_; });
}

bool ManagementServer::OverLimit(pid_t peer) const {
  if (active_.load() >= limits_.max_connections) return true;
  if (peer == 0) return false;
  size_t from_peer = 0;
  for (const Connection& connection : connections_) {
    if (connection.peer == peer && !connection.done.load()) ++from_peer;
  }
  return from_peer >= limits_.max_per_process;
}

// REQUIRES: mutex_ held. Serve takes no lock, so joining here cannot wait on us.
void ManagementServer::ReapFinished(bool all) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (all || it->done.load()) {
      it->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void ManagementServer::Serve(Connection& connection) {
  const int fd = connection.fd.get();
  try {
    Association association(
        [this](uint16_t opnum, std::span<const uint8_t> stub) {
          return DispatchCall(operations_, opnum, stub);
        },
        [this] { return registered_.load(); }, kManagementEndpoint, next_group_++);
    // Each PDU must be whole within the idle time-out from when it is due.
    std::chrono::steady_clock::time_point deadline;
    const rpc::ReadExactFn read = [fd, &deadline](uint8_t* buffer, size_t size) {
      return platform::ReceiveExactBefore(fd, buffer, size, deadline);
    };
    for (bool open = true; open;) {
      deadline = std::chrono::steady_clock::now() + limits_.idle_timeout;
      Result<std::vector<uint8_t>> pdu = rpc::ReadPdu(read);
      if (!pdu.ok()) break;
      Association::Output output = association.OnPdu(*pdu);
      for (const std::vector<uint8_t>& reply : output.pdus) {
        // A peer that stops taking its replies must not hold the connection
        // for ever: each fragment gets the idle time-out to leave.
        const auto send_deadline = std::chrono::steady_clock::now() + limits_.idle_timeout;
        if (!platform::SendAllBefore(fd, reply, send_deadline).ok()) {
          open = false;
          break;
        }
      }
      if (output.close) open = false;
    }
  } catch (const std::exception& e) {
    platform::ConsoleLog(platform::ConsolePriority::kWarning, "management connection ended: %s\n",
                         e.what());
  }
  // The peer sees the end now, not when the descriptor is reaped.
  platform::ShutdownSocket(fd);
  --active_;
  connection.done = true;
}

void StartManagementInterface(ManagementServer& server) {
  // The endpoint's own result is not checked: without it the bindings step
  // reports the failure.
  std::string problem;
  if (server.UseEndpoint(&problem) != rpc::RPC_S_OK) {
    platform::ConsoleLog(platform::ConsolePriority::kError, "%s: %s\n",
                         server.EndpointPath().c_str(), problem.c_str());
  }
  uint32_t status = server.RegisterInterface();
  if (status != rpc::RPC_S_OK) return ReportRpcError(status, 44);
  std::vector<std::string> bindings;
  status = server.InquireBindings(bindings);
  if (status != rpc::RPC_S_OK) return ReportRpcError(status, 50);
  bindings.clear();  // the binding vector is freed (its step cannot fail here)
  status = server.Listen();
  if (status != rpc::RPC_S_OK) return ReportRpcError(status, 65);
}

}  // namespace quensaria::management
