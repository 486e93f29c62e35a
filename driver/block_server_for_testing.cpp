#include "driver/block_server_for_testing.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/eventually_for_testing.h"
#include "platform/socket.h"
#include "platform/tls_session.h"
#include "shared/block_protocol.h"
#include "shared/password_digest.h"
#include "shared/scramble.h"

namespace quensaria::driver {

struct FakeBlockServer::Connection {
  int id = 0;
  int fd = -1;
  bool closed = false;  // guarded by the server's mu_
  std::atomic<bool> reset{false};
  std::unique_ptr<platform::TlsSession> tls;
  std::vector<uint8_t> late_data;  // sent once the next request has arrived (kLateData)
};

namespace {

constexpr auto kTlsWait = std::chrono::seconds(10);

// Waits for the first byte without taking it; false when none comes.
bool PeekFirst(int fd, uint8_t* first) {
  for (;;) {
    const ssize_t n = ::recv(fd, first, 1, MSG_PEEK);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

// After the last word to a client of the wrong kind: its bytes are taken
// until it closes, so that the close is no reset that could swallow the word.
void CloseGently(int fd) {
  ::shutdown(fd, SHUT_WR);
  uint8_t sink[4096];
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    if (::recv(fd, sink, sizeof sink, 0) <= 0) return;
  }
}

}  // namespace

bool FakeBlockServer::Greet(Connection& connection, bool* logged_in, bool* manage) {
  uint8_t first;
  if (!PeekFirst(connection.fd, &first)) return false;
  bool tls;
  std::array<uint8_t, 20> login_key;
  std::optional<std::array<uint8_t, 20>> manage_key;
  {
    std::scoped_lock lock(mu_);
    tls = tls_;
    login_key = password_.value_or(PasswordDigest(""));
    manage_key = manage_password_;
  }
  if (tls && first == kTlsHandshakeByte) {
    {
      std::scoped_lock lock(mu_);
      ++tls_handshakes_;
    }
    auto keys = [&](std::string_view identity) -> std::optional<std::vector<uint8_t>> {
      if (identity == kTlsIdentityLogin)
        return std::vector<uint8_t>(login_key.begin(), login_key.end());
      if (identity == kTlsIdentityManage && manage_key) {
        return std::vector<uint8_t>(manage_key->begin(), manage_key->end());
      }
      return std::nullopt;
    };
    auto session = platform::TlsSession::Server(connection.fd, keys, kTlsPriorities);
    if (!session.ok()) return false;
    if (!session.value()->Handshake(std::chrono::steady_clock::now() + kTlsWait).ok()) return false;
    connection.tls = std::move(session).value();
    *manage = connection.tls->identity() == kTlsIdentityManage;
    *logged_in = true;
    std::scoped_lock lock(mu_);
    tls_log_ons_.push_back(connection.tls->identity());
    return true;
  }
  if (tls) {
    // A plain request: its header gets the refusal, then the close.
    uint8_t header[kRequestHeaderSize];
    if (!platform::ReceiveAll(connection.fd, header, sizeof header).ok()) return false;
    const RequestHeader request = ParseRequestHeader(header);
    {
      std::scoped_lock lock(mu_);
      requests_.push_back({connection.id, request.command, request.offset, request.length});
      ++wrong_kind_;
    }
    uint8_t reply[kReplyHeaderSize];
    EncodeReplyHeader({REPLY_TLS_REQUIRED, request.length, 0}, reply);
    (void)platform::SendAll(connection.fd, reply, sizeof reply);
    CloseGently(connection.fd);
    return false;
  }
  if (first == kTlsHandshakeByte) {
    {
      std::scoped_lock lock(mu_);
      ++wrong_kind_;
    }
    (void)platform::SendAll(connection.fd, kPlainExportTlsAlert.data(),
                            kPlainExportTlsAlert.size());
    CloseGently(connection.fd);
    return false;
  }
  return true;
}

bool FakeBlockServer::Receive(Connection& connection, uint8_t* data, size_t length) {
  if (!connection.tls) return platform::ReceiveAll(connection.fd, data, length).ok();
  // Bounded only so that a vanished client cannot hold the thread forever.
  return connection.tls
      ->Receive({data, length}, std::chrono::steady_clock::now() + std::chrono::hours(1))
      .ok();
}

FakeBlockServer::FakeBlockServer(uint64_t disk_size) : disk_(disk_size) {
  for (size_t i = 0; i < disk_.size(); ++i) disk_[i] = static_cast<uint8_t>((i * 31) ^ (i >> 9));
  Listen();
}

FakeBlockServer::~FakeBlockServer() { Stop(); }

uint32_t FakeBlockServer::address() const { return htonl(INADDR_LOOPBACK); }

bool FakeBlockServer::BindPort(platform::UniqueFd& socket) const {
  socket.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = port_;
  return ::bind(socket.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

void FakeBlockServer::Listen() {
  held_port_.Reset();
  // Coming back on the same port may have to wait for the old one to clear.
  const bool bound = testing::Eventually([&] { return BindPort(listener_); },
                                         std::chrono::seconds(2), std::chrono::milliseconds(10));
  if (!bound) std::abort();
  ::listen(listener_.get(), 16);
  port_ = htons(platform::LocalPort(listener_.get()));
  stopping_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

void FakeBlockServer::AcceptLoop() {
  while (!stopping_) {
    pollfd p{listener_.get(), POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    platform::UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd) continue;
    auto connection = std::make_shared<Connection>();
    connection->fd = fd.Release();
    std::scoped_lock lock(mu_);
    connection->id = ++accepted_;
    connections_.push_back(connection);
    servers_.emplace_back([this, connection] { Serve(connection); });
  }
}

void FakeBlockServer::Stop() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  if (listener_) {
    listener_.Reset();
    HoldPort();
  }
  ResetConnections();
  std::vector<std::thread> servers;
  {
    std::scoped_lock lock(mu_);
    servers.swap(servers_);
  }
  for (auto& t : servers) t.join();
  std::scoped_lock lock(mu_);
  connections_.clear();
}

void FakeBlockServer::HoldPort() {
  if (!BindPort(held_port_)) held_port_.Reset();
}

void FakeBlockServer::Restart() { Listen(); }

void FakeBlockServer::ResetConnections() {
  ResetSome([](const Connection&) { return true; });
}

void FakeBlockServer::ResetConnection(int connection) {
  ResetSome([connection](const Connection& c) { return c.id == connection; });
}

template <typename Which>
void FakeBlockServer::ResetSome(Which which) {
  std::unique_lock lock(mu_);
  std::vector<std::shared_ptr<Connection>> resetting;
  for (const auto& c : connections_) {
    if (which(*c)) resetting.push_back(c);
  }
  for (auto& c : resetting) {
    c->reset = true;
    // Wakes the connection's thread, which then closes with a reset.
    if (!c->closed) ::shutdown(c->fd, SHUT_RD);
  }
  // Returns once every reset has been sent, so a caller may count on it
  // (clients may connect again meanwhile). The limit only keeps a broken
  // test from hanging.
  const auto all_closed = [&resetting] {
    return std::all_of(resetting.begin(), resetting.end(), [](const auto& c) { return c->closed; });
  };
  if (!closed_changed_.wait_for(lock, std::chrono::seconds(60), all_closed)) std::abort();
}

bool FakeBlockServer::Reply(Connection& connection, const uint8_t* data, size_t length) {
  size_t pieces;
  {
    std::scoped_lock lock(mu_);
    pieces = pieces_;
  }
  const size_t step = pieces == 0 ? length : pieces;
  for (size_t done = 0; done < length;) {
    const size_t n = std::min(step, length - done);
    if (connection.tls) {
      if (!connection.tls->Send({data + done, n}, {}, std::chrono::steady_clock::now() + kTlsWait)
               .ok()) {
        return false;
      }
    } else if (!platform::SendAll(connection.fd, data + done, n).ok()) {
      return false;
    }
    done += n;
    if (pieces != 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

void FakeBlockServer::Serve(std::shared_ptr<Connection> connection) {
  const int fd = connection->fd;
  bool logged_in = false, manage = false;
  std::vector<uint8_t> payload;
  for (bool greeted = Greet(*connection, &logged_in, &manage); greeted;) {
    uint8_t header[kRequestHeaderSize];
    if (!Receive(*connection, header, sizeof header) || connection->reset) break;
    if (!connection->late_data.empty()) {
      if (!Reply(*connection, connection->late_data.data(), connection->late_data.size())) break;
      connection->late_data.clear();
    }
    const RequestHeader request = ParseRequestHeader(header);
    bool reset_now = false, silent;
    std::chrono::milliseconds write_delay;
    uint8_t access;
    bool refuse_reads, refuse_writes;
    uint32_t query_length, shortfall;
    uint64_t reported_size;
    bool flushes, fail_flushes;
    std::array<uint8_t, 4> boot_id;
    std::optional<SourceId> source_id;
    Mangle mangle = Mangle::kNone;
    {
      std::scoped_lock lock(mu_);
      requests_.push_back({connection->id, request.command, request.offset, request.length});
      events_.push_back({connection->id, request.command, request.offset, false});
      if (reset_countdown_ > 0 && --reset_countdown_ == 0) reset_now = true;
      silent = silent_;
      access = manage                                              ? ACCESS_FULL
               : later_from_ != 0 && connection->id >= later_from_ ? later_access_
                                                                   : access_;
      write_delay = write_delay_;
      refuse_reads = refuse_reads_;
      refuse_writes = refuse_writes_;
      query_length = query_data_length_;
      shortfall = read_shortfall_;
      reported_size = later_size_from_ != 0 && connection->id >= later_size_from_
                          ? later_size_
                          : reported_size_.value_or(disk_.size());
      flushes = flushes_;
      fail_flushes = fail_flushes_;
      boot_id = boot_id_;
      source_id = source_id_;
      if (request.command >= CMD_READ && request.command <= CMD_FLUSH) {
        mangle = mangle_[request.command - CMD_READ];
      }
    }
    if (request.command == CMD_WRITE) {
      payload.resize(request.length);
      if (!Receive(*connection, payload.data(), payload.size())) break;
    }
    if (reset_now) {
      connection->reset = true;
      break;
    }
    if (silent) continue;

    std::vector<uint8_t> reply(kReplyHeaderSize);
    ReplyHeader answer{REPLY_OK, request.length, 0};
    switch (request.command) {
      case CMD_LOGIN: {
        std::scoped_lock lock(mu_);
        logged_in =
            !password_ || std::memcmp(password_->data(), LoginDigest(header), kDigestSize) == 0;
        answer = {logged_in ? REPLY_OK : REPLY_DENIED, 0, 0};
        break;
      }
      case CMD_QUERY: {
        answer = {REPLY_OK, kQueryDataSize, query_length};
        reply.resize(kReplyHeaderSize + std::max<size_t>(query_length, kQueryDataSize));
        EncodeQueryData({access, reported_size,
                         static_cast<uint8_t>((flushes ? QUERY_FLAG_FLUSH : 0) |
                                              (source_id ? QUERY_FLAG_SOURCE_ID : 0)),
                         flushes ? boot_id : std::array<uint8_t, 4>{}},
                        reply.data() + kReplyHeaderSize);
        reply.resize(kReplyHeaderSize + query_length);
        break;
      }
      case CMD_READ: {
        std::scoped_lock lock(mu_);
        if (!logged_in || refuse_reads) {
          answer = {REPLY_DENIED, request.length, 0};
        } else if (request.length > kMaxTransfer ||
                   request.offset + request.length > disk_.size()) {
          answer = {REPLY_FAILED, 0, 0};
        } else {
          const uint32_t sent = request.length - std::min(shortfall, request.length);
          answer.data_length = sent;
          reply.resize(kReplyHeaderSize + ScrambledSpan(sent));
          std::memcpy(reply.data() + kReplyHeaderSize, disk_.data() + request.offset, sent);
          Scramble(reply.data() + kReplyHeaderSize, sent);
          reply.resize(kReplyHeaderSize + sent);
        }
        break;
      }
      case CMD_WRITE: {
        std::scoped_lock lock(mu_);
        if (!logged_in || refuse_writes || access != ACCESS_FULL || request.length > kMaxTransfer) {
          answer = {REPLY_DENIED, request.length, 0};
        } else if (request.offset + request.length > disk_.size()) {
          answer = {REPLY_FAILED, 0, 0};
        } else {
          std::memcpy(disk_.data() + request.offset, payload.data(), request.length);
        }
        break;
      }
      case CMD_SOURCE_ID:
        if (source_id) {
          answer = {logged_in ? REPLY_OK : REPLY_DENIED, 0, 0};
          if (logged_in) {
            answer.length = answer.data_length = kSourceIdSize;
            reply.resize(kReplyHeaderSize + kSourceIdSize);
            std::memcpy(reply.data() + kReplyHeaderSize, source_id->data(), kSourceIdSize);
          }
          break;
        }
        while (!connection->reset) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        break;
      case CMD_FLUSH:
        if (flushes) {
          const bool allowed = logged_in && access == ACCESS_FULL;
          answer = {!allowed ? REPLY_DENIED : fail_flushes ? REPLY_FAILED : REPLY_OK, 0, 0};
          break;
        }
        [[fallthrough]];  // an older service knows no such command
      default:
        // Like the service: no answer, nothing more read.
        while (!connection->reset) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        break;
    }
    if (connection->reset) break;
    EncodeReplyHeader(answer, reply.data());
    {
      std::scoped_lock lock(mu_);
      std::memcpy(reply.data() + 2, &reserved_, 2);
    }
    if (mangle != Mangle::kNone) {
      if (!SendMangled(*connection, mangle, std::move(reply))) break;
      continue;
    }
    if (request.command == CMD_WRITE && write_delay.count() > 0) {
      std::this_thread::sleep_for(write_delay);
    }
    {
      // Before it leaves: the client may act on it at once.
      std::scoped_lock lock(mu_);
      events_.push_back({connection->id, request.command, request.offset, true});
    }
    if (!Reply(*connection, reply.data(), reply.size())) break;
  }
  connection->tls.reset();
  std::scoped_lock lock(mu_);
  if (connection->reset) {
    (void)platform::SetAbortiveClose(fd);  // close with a reset, as the service does
  }
  ::close(fd);
  connection->closed = true;
  closed_changed_.notify_all();
}

bool FakeBlockServer::SendMangled(Connection& connection, Mangle how, std::vector<uint8_t> reply) {
  ReplyHeader header = ParseReplyHeader(reply.data());
  switch (how) {
    case Mangle::kNone:
      break;
    case Mangle::kCutShort:
      (void)Reply(connection, reply.data(), 5);
      return false;
    case Mangle::kWrongStatus:
      if (header.status == REPLY_OK) {
        // A read's data, or as much noise as a read would carry, follows anyway.
        header.status = REPLY_FAILED;
        if (header.data_length == 0) {
          header.data_length = std::min<uint32_t>(header.length, kMaxTransfer);
          reply.resize(kReplyHeaderSize + header.data_length, 0x6B);
        }
      } else {
        header.status = REPLY_OK;
      }
      break;
    case Mangle::kLateData:
      header.status = REPLY_FAILED;
      header.data_length = std::max<uint32_t>(1, std::min<uint32_t>(header.length, kMaxTransfer));
      connection.late_data.assign(header.data_length, 0x6B);
      reply.resize(kReplyHeaderSize);
      break;
    case Mangle::kWrongLength:
      header.data_length += 512;
      reply.resize(reply.size() + 512, 0xE1);
      break;
    case Mangle::kGarbage: {
      reply.resize(100);
      uint32_t noise = 0x2545F491;
      for (uint8_t& b : reply) {
        noise = noise * 1664525 + 1013904223;
        b = static_cast<uint8_t>(noise >> 24);
      }
      reply[0] |= 0x40;  // whatever else it reads as, never REPLY_OK
      return Reply(connection, reply.data(), reply.size());
    }
  }
  EncodeReplyHeader(header, reply.data());
  return Reply(connection, reply.data(), reply.size());
}

void FakeBlockServer::ReportDiskSize(std::optional<uint64_t> size) {
  std::scoped_lock lock(mu_);
  reported_size_ = size;
}
void FakeBlockServer::ReportLaterDiskSize(int connection, uint64_t size) {
  std::scoped_lock lock(mu_);
  later_size_from_ = connection;
  later_size_ = size;
}
void FakeBlockServer::MangleReplies(uint8_t command, Mangle how) {
  std::scoped_lock lock(mu_);
  if (command >= CMD_READ && command <= CMD_FLUSH) mangle_[command - CMD_READ] = how;
}
void FakeBlockServer::SetFlushes(bool understood) {
  std::scoped_lock lock(mu_);
  flushes_ = understood;
}
void FakeBlockServer::FailFlushes(bool fail) {
  std::scoped_lock lock(mu_);
  fail_flushes_ = fail;
}
void FakeBlockServer::SetSourceId(std::optional<SourceId> id) {
  std::scoped_lock lock(mu_);
  source_id_ = id;
}

void FakeBlockServer::SetBootIdentity(const std::array<uint8_t, 4>& id) {
  std::scoped_lock lock(mu_);
  boot_id_ = id;
}
void FakeBlockServer::SetAccess(uint8_t access) {
  std::scoped_lock lock(mu_);
  access_ = access;
}
void FakeBlockServer::SetPassword(const std::array<uint8_t, 20>& digest) {
  std::scoped_lock lock(mu_);
  password_ = digest;
}
void FakeBlockServer::SetTls(bool tls) {
  std::scoped_lock lock(mu_);
  tls_ = tls;
}
void FakeBlockServer::SetManagePassword(const std::array<uint8_t, 20>& digest) {
  std::scoped_lock lock(mu_);
  manage_password_ = digest;
}
std::vector<std::string> FakeBlockServer::TlsLogOns() const {
  std::scoped_lock lock(mu_);
  return tls_log_ons_;
}
int FakeBlockServer::TlsHandshakes() const {
  std::scoped_lock lock(mu_);
  return tls_handshakes_;
}
int FakeBlockServer::WrongKindRefusals() const {
  std::scoped_lock lock(mu_);
  return wrong_kind_;
}
void FakeBlockServer::SetQueryDataLength(uint32_t length) {
  std::scoped_lock lock(mu_);
  query_data_length_ = length;
}
void FakeBlockServer::RefuseReads(bool refuse) {
  std::scoped_lock lock(mu_);
  refuse_reads_ = refuse;
}
void FakeBlockServer::ShortenReads(uint32_t bytes) {
  std::scoped_lock lock(mu_);
  read_shortfall_ = bytes;
}
void FakeBlockServer::RefuseWrites(bool refuse) {
  std::scoped_lock lock(mu_);
  refuse_writes_ = refuse;
}
void FakeBlockServer::SetReplyPieces(size_t bytes) {
  std::scoped_lock lock(mu_);
  pieces_ = bytes;
}
void FakeBlockServer::SetReplyReserved(uint16_t value) {
  std::scoped_lock lock(mu_);
  reserved_ = value;
}
void FakeBlockServer::SetSilent(bool silent) {
  std::scoped_lock lock(mu_);
  silent_ = silent;
}
void FakeBlockServer::ResetAtRequest(int n) {
  std::scoped_lock lock(mu_);
  reset_countdown_ = n;
}
std::vector<FakeBlockServer::Request> FakeBlockServer::Requests() const {
  std::scoped_lock lock(mu_);
  return requests_;
}
void FakeBlockServer::ClearRequests() {
  std::scoped_lock lock(mu_);
  requests_.clear();
  events_.clear();
}
std::vector<FakeBlockServer::Event> FakeBlockServer::Events() const {
  std::scoped_lock lock(mu_);
  return events_;
}
int FakeBlockServer::MostAtOnce() const {
  int now = 0, most = 0;
  for (const Event& e : Events()) {
    now += e.answered ? -1 : 1;
    most = std::max(most, now);
  }
  return most;
}
void FakeBlockServer::SetLaterAccess(int connection, uint8_t access) {
  std::scoped_lock lock(mu_);
  later_from_ = connection;
  later_access_ = access;
}
void FakeBlockServer::SetWriteDelay(std::chrono::milliseconds delay) {
  std::scoped_lock lock(mu_);
  write_delay_ = delay;
}
int FakeBlockServer::Connections() const {
  std::scoped_lock lock(mu_);
  return accepted_;
}
int FakeBlockServer::OpenConnections() const {
  std::scoped_lock lock(mu_);
  return static_cast<int>(std::count_if(connections_.begin(), connections_.end(),
                                        [](const auto& c) { return !c->closed; }));
}
std::vector<uint8_t> FakeBlockServer::Disk() const {
  std::scoped_lock lock(mu_);
  return disk_;
}
void FakeBlockServer::SetDisk(std::vector<uint8_t> disk) {
  std::scoped_lock lock(mu_);
  disk_ = std::move(disk);
}

}  // namespace quensaria::driver
