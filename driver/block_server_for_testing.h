// FakeBlockServer: a scripted block-protocol server on 127.0.0.1 for tests
// of the driver. It serves an in-memory disk, one thread per connection,
// and can be told to misbehave: refuse log-ons, reads or writes, answer the
// query with a wrong data length, send short reads, send replies in small pieces, stay silent,
// reset a connection when a given request arrives, or go away and come back
// on the same port. As a hostile server it can report any disk size and
// mangle the replies of one command (cut short, wrong status, wrong lengths,
// garbage, data announced late). Like the service it serves reads, writes and flushes only after
// a log-on, says in its query that it understands CMD_FLUSH and names a boot
// identity; it can instead play a service that knows no flushes (it then
// answers CMD_FLUSH as any unknown command: never), fail its flushes, or
// play a machine that has restarted, give connections accepted after the
// first few another access level or disk size, or hold its write replies back a while.
// It can speak TLS as a TLS export does (the handshake is the log-on, keyed
// by the log-on password's digest or the management one's); either kind
// answers a client of the other kind as the service does. Every request is
// recorded, and with its reply, in the order both happened. All methods are
// thread-safe.
#ifndef QUENSARIA_DRIVER_BLOCK_SERVER_FOR_TESTING_H_
#define QUENSARIA_DRIVER_BLOCK_SERVER_FOR_TESTING_H_

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "shared/block_protocol.h"

namespace quensaria::driver {

class FakeBlockServer {
 public:
  struct Request {
    int connection;  // 1 for the first connection accepted, 2 for the next...
    uint8_t command;
    uint64_t offset;
    uint32_t length;
  };

  // A request arriving, or its reply sent.
  struct Event {
    int connection;
    uint8_t command;
    uint64_t offset;
    bool answered;
  };

  // How the replies of one command are mangled.
  enum class Mangle {
    kNone,
    // The first 5 bytes of the reply, then the connection is closed.
    kCutShort,
    // A failure status, yet the data of a success follows.
    kWrongStatus,
    // The header announces 512 data bytes more than asked and sends them.
    kWrongLength,
    // 100 bytes of noise (never a success status) instead of the reply.
    kGarbage,
    // A failure status announcing the data of a success, whose bytes (noise)
    // follow only once the next request has arrived.
    kLateData,
  };

  explicit FakeBlockServer(uint64_t disk_size);
  ~FakeBlockServer();

  // Network byte order, as a mount record carries them.
  uint32_t address() const;
  uint16_t port() const { return port_; }

  // Script.
  void SetAccess(uint8_t access);
  // Connections from the `connection`-th accepted on get `access` instead.
  void SetLaterAccess(int connection, uint8_t access);
  // Each write is answered `delay` after it arrived (its data stored at once).
  void SetWriteDelay(std::chrono::milliseconds delay);
  // Log-ons succeed only with this digest (by default with any).
  void SetPassword(const Sha1Digest& digest);
  // TLS from the next connection on: the key of kTlsIdentityLogin is the
  // SetPassword digest (by default the empty password's), that of
  // kTlsIdentityManage the management digest (none by default), which
  // gives full access.
  void SetTls(bool tls);
  void SetManagePassword(const Sha1Digest& digest);
  void SetQueryDataLength(uint32_t length);
  // The disk size the query reports (by default the served disk's).
  void ReportDiskSize(std::optional<uint64_t> size);
  // Connections from the `connection`-th accepted on are told `size`.
  void ReportLaterDiskSize(int connection, uint64_t size);
  // Mangles every reply to `command` (CMD_LOGIN, CMD_QUERY, CMD_READ,
  // CMD_WRITE or CMD_FLUSH) from now on; kNone puts it right again.
  void MangleReplies(uint8_t command, Mangle how);
  void RefuseReads(bool refuse);
  void RefuseWrites(bool refuse);
  // Successful read replies announce and carry `bytes` fewer than asked.
  void ShortenReads(uint32_t bytes);
  // Replies leave in pieces of `bytes` with a short pause between (0: whole).
  void SetReplyPieces(size_t bytes);
  // Bytes 2..3 of every reply (which carry no meaning).
  void SetReplyReserved(uint16_t value);
  // Requests are read but never answered.
  void SetSilent(bool silent);
  // Whether the server understands CMD_FLUSH (and says so in its query).
  void SetFlushes(bool understood);
  // Flushes are answered REPLY_FAILED.
  void FailFlushes(bool fail);
  // The shared source it names to CMD_SOURCE_ID (and says so in its query);
  // by default it knows no such command, as an older service.
  void SetSourceId(std::optional<SourceId> id);
  // The boot identity its query reports (by default 11 22 33 44).
  void SetBootIdentity(const std::array<uint8_t, 4>& id);
  // The connection is reset (RST) when the `n`-th request from now arrives,
  // before it is answered. Counts every request of every connection.
  void ResetAtRequest(int n);
  // Resets every open connection now, between requests, and returns once the
  // server has closed each of them with a reset.
  void ResetConnections();
  // The same for connection `connection` alone (as Request::connection).
  void ResetConnection(int connection);
  // Stops listening and resets every connection; Restart listens again on
  // the same port.
  void Stop();
  void Restart();

  // Observations.
  std::vector<Request> Requests() const;
  // The identities of the TLS handshakes that succeeded, in order.
  std::vector<std::string> TlsLogOns() const;
  // Handshakes begun (good or not) and plain requests at the TLS export /
  // TLS hellos at the plain export, each answered as the service does.
  int TlsHandshakes() const;
  int WrongKindRefusals() const;
  void ClearRequests();
  // Arrivals and replies of every request since the last ClearRequests.
  std::vector<Event> Events() const;
  // The most of those requests the server had in hand at once (arrived,
  // not answered).
  int MostAtOnce() const;
  int Connections() const;
  // Connections still open on the server's side.
  int OpenConnections() const;
  std::vector<uint8_t> Disk() const;
  void SetDisk(std::vector<uint8_t> disk);

 private:
  struct Connection;
  void Listen();
  // A new socket in `socket`, bound to this server's port (any port before
  // the first listen); false when the bind failed.
  bool BindPort(platform::UniqueFd& socket) const;
  void HoldPort();
  void AcceptLoop();
  void Serve(std::shared_ptr<Connection> connection);
  // The TLS handshake, or the answer to a client of the wrong kind; false
  // when the connection must end. *manage: logged on as kTlsIdentityManage.
  bool Greet(Connection& connection, bool* logged_in, bool* manage);
  bool Receive(Connection& connection, uint8_t* data, size_t length);
  bool Reply(Connection& connection, const uint8_t* data, size_t length);
  // Resets the connections `which` selects; see ResetConnections.
  template <typename Which>
  void ResetSome(Which which);
  // Sends `reply` mangled as `how`; false when the connection must end.
  bool SendMangled(Connection& connection, Mangle how, std::vector<uint8_t> reply);

  mutable std::mutex mu_;
  std::condition_variable closed_changed_;  // a connection's `closed` became true
  std::vector<uint8_t> disk_;
  std::optional<Sha1Digest> password_;
  std::optional<Sha1Digest> manage_password_;
  bool tls_ = false;
  std::vector<std::string> tls_log_ons_;
  int tls_handshakes_ = 0;
  int wrong_kind_ = 0;
  uint8_t access_ = 0;
  int later_from_ = 0;  // 0: no later access
  uint8_t later_access_ = 0;
  std::chrono::milliseconds write_delay_{0};
  std::vector<Event> events_;
  uint32_t query_data_length_ = 16;
  std::optional<uint64_t> reported_size_;
  int later_size_from_ = 0;  // 0: no later size
  uint64_t later_size_ = 0;
  std::array<Mangle, 5> mangle_{};  // by command - CMD_READ
  bool flushes_ = true;
  bool fail_flushes_ = false;
  std::array<uint8_t, 4> boot_id_{0x11, 0x22, 0x33, 0x44};
  std::optional<SourceId> source_id_;
  bool refuse_reads_ = false;
  bool refuse_writes_ = false;
  uint32_t read_shortfall_ = 0;
  size_t pieces_ = 0;
  uint16_t reserved_ = 0;
  bool silent_ = false;
  int reset_countdown_ = 0;
  std::vector<Request> requests_;
  std::vector<std::shared_ptr<Connection>> connections_;
  int accepted_ = 0;

  platform::UniqueFd listener_;
  // While stopped, the port stays this server's, bound but not listening:
  // connections are refused, and no other test's server can take the port
  // and answer for this one.
  platform::UniqueFd held_port_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::vector<std::thread> servers_;
};

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_BLOCK_SERVER_FOR_TESTING_H_
