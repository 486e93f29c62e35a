// NetworkDisk: the connection of one mounted network disk and the transfer
// of whole disk requests over it. Worker thread only.
//
// The password digest is kept for the life of the mount: when a request
// finds its connection lost it connects again, logs on again, queries again
// and repeats the whole request from its start. The disk size and the write
// mode found at mount stay in force; the new query only tells whether the
// service understands flushes and whether its machine has restarted. A
// server that answers another disk size serves another disk, and one that
// answers access 2 refuses this client: neither is used, its own as any
// other; a disk that writes to a shared source it knows (SetServers) holds
// its own server to that source too.
//
// A flush vouches for every write acknowledged before it, so it never
// succeeds for writes that may be gone: when a reconnect finds that the
// server's machine restarted (another boot identity) while writes were
// acknowledged and not yet flushed, the next flush fails. A restart of the
// service alone loses nothing (the machine's page cache holds the writes).
//
// A connection counts as lost when it was gone before the exchange began
// (STATUS_INVALID_DEVICE_STATE) and, when the options give a reconnect
// time-out, also when the peer reset or closed it in the middle of one (a
// service restarting drops its connections that way) or its reply did not
// come within the reply time-out (a silent path or server); repeating a
// read, a write of whole blocks or a flush is harmless. With a time-out the
// request closes the connection and keeps trying, with pauses growing from
// 100 ms to 5 s, until it succeeds, the service refuses the log-on, the
// time-out has passed since the connection was found lost, or the give-up
// flag is raised (an unmount waits); without one it tries once.
//
// A disk may know other servers of the same disk (SetServers). Each attempt
// then tries the server the disk is on first and the others in turn, and
// goes on with the first one that answers and fits (server_choice.h); the
// disk stays on it until that connection is lost in its turn. While the
// give-up flag is raised, one attempt's servers share one reply time-out. Boot
// identities are kept per server, so another server's boot is no restart.
//
// Several connections may serve one disk (MountAnother): each is a
// NetworkDisk of its own, used by one thread at a time, but they share what
// a flush vouches for (the writes acknowledged on any of them, the boot
// identities seen), since the service's flush covers every write the export
// acknowledged.
#ifndef QUENSARIA_DRIVER_NETWORK_DISK_H_
#define QUENSARIA_DRIVER_NETWORK_DISK_H_

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/server_choice.h"
#include "driver/transport.h"
#include "driver/wake_flag.h"
#include "shared/block_protocol.h"
#include "shared/mount_record.h"
#include "shared/nt_status.h"

namespace quensaria::driver {

// What the connections of one disk know together about its durability.
struct DiskDurability {
  std::mutex mu;
  uint64_t acknowledged = 0;  // writes acknowledged, counted by chunk
  uint64_t flushed = 0;       // `acknowledged` as the last good flush began
  bool maybe_lost = false;    // some unflushed writes may have gone with a restart
  std::array<std::array<uint8_t, kBootIdSize>, kMaxMountServers> boot_ids{};
};

class NetworkDisk;

// A disk just mounted, and what its server answered the query.
struct MountedDisk {
  std::unique_ptr<NetworkDisk> disk;
  QueryData query;
};

class NetworkDisk {
 public:
  // Opens an endpoint, connects to `address`:`port` (network byte order),
  // logs on with `digest` and queries the disk. On failure everything opened
  // is closed again.
  static NtResult<MountedDisk> Mount(uint32_t address, uint16_t port,
                                     const std::array<uint8_t, kDigestSize>& digest,
                                     const TransportOptions& options);
  // Another connection of `first`'s disk to the server `first` is on, with
  // `first`'s servers and what it was mounted with; the query is what that
  // server answered this one (the caller compares it with the first's).
  static NtResult<MountedDisk> MountAnother(const NetworkDisk& first);
  // Disconnects and closes the endpoint.
  ~NetworkDisk();

  // One disk request of any length (TransferRequest), in chunks of at most
  // kMaxTransfer bytes, strictly one after the other, reconnecting as
  // described above.
  NtStatus Read(uint64_t offset, uint64_t length, uint8_t* into);
  NtStatus Write(uint64_t offset, uint64_t length, const uint8_t* from);

  // Makes every write this disk had acknowledged durable on the server
  // (CMD_FLUSH), reconnecting as a transfer does. STATUS_IO_DEVICE_ERROR when
  // the server's sync failed or writes may have been lost with a restart of
  // its machine. A service that does not understand flushes is answered
  // with success, as before, and the log says once that its writes are not
  // made durable. `bounded`: its reply is waited for no longer than a
  // transfer's (the reply time-out, not the flush time-out).
  NtStatus Flush(bool bounded = false);

  // Cuts the reconnect pauses short while raised. REQUIRES: outlives this.
  void set_give_up(const WakeFlag* flag) { give_up_ = flag; }
  // Whether that flag is raised now.
  bool given_up() const { return give_up_ != nullptr && give_up_->raised(); }

  // The servers of this disk (at most kMaxMountServers, network byte order),
  // of which `current` is the one Mount connected to. `writes_reach_server`:
  // the disk sends its writes (full access and not read-only), so it goes on
  // only with a server of the same shared source; it then asks the server
  // it is on which source that is (a transport failure is the result).
  // `moved` is told the index of each server the disk goes on with.
  NtStatus SetServers(std::vector<MountServer> servers, size_t current, bool writes_reach_server,
                      std::function<void(size_t)> moved = {});
  size_t current_server() const { return current_; }

  // Asked after a failed reconnect: true when other connections can serve
  // the request, which then ends at once with its loss rather than wait.
  void set_others_serve(std::function<bool()> others) { others_serve_ = std::move(others); }
  // Connected and not found lost.
  bool up() const { return endpoint_.up(); }
  // The last reconnect found no server to go on with.
  bool unreachable() const { return unreachable_; }
  // When the last request found its connection lost; the epoch when it did not.
  std::chrono::steady_clock::time_point lost_at() const { return lost_at_; }
  // How long a lost connection is waited for before its request fails.
  std::chrono::milliseconds reconnect_timeout() const {
    return endpoint_.options().reconnect_timeout;
  }
  // The server refused the log-on itself (the password, or the kind of
  // export): trying again cannot help.
  static bool Refused(NtStatus status);

 private:
  NetworkDisk(uint32_t address, uint16_t port, const std::array<uint8_t, kDigestSize>& digest,
              const TransportOptions& options)
      : address_(address), port_(port), digest_(digest), endpoint_(options) {}
  NtStatus SendFlush();
  // Runs `attempt` once, and again on a new connection for as long as it
  // finds the connection lost and the reconnect time-out allows.
  template <typename Attempt>
  NtStatus WithReconnects(Attempt attempt);
  // One attempt on each server, the current one first.
  NtStatus Reconnect(std::chrono::steady_clock::time_point deadline);
  // Connects, logs on and queries server `index`; a server other than the
  // current one must fit, and becomes the current one.
  NtStatus ConnectTo(size_t index, std::chrono::steady_clock::time_point deadline);
  // Whether the server just queried may serve this disk; asks it for its
  // source when that matters (a transport failure goes to *status).
  ServerFit Judge(const QueryData& query, NtStatus* status);
  // What a query of server `index` says about it: its flushes, its boot.
  void Learn(const QueryData& query, size_t index = 0);
  // Waits `pause`; false when the give-up flag cut it short.
  bool Pause(std::chrono::steady_clock::duration pause) const;

  uint32_t address_;
  uint16_t port_;
  std::array<uint8_t, kDigestSize> digest_;
  TransportEndpoint endpoint_;
  const WakeFlag* give_up_ = nullptr;
  std::function<bool()> others_serve_;
  std::shared_ptr<DiskDurability> durability_ = std::make_shared<DiskDurability>();

  bool flushes_ = false;              // the service understands CMD_FLUSH
  uint8_t flags_ = 0;                 // the last query's QUERY_FLAG_...
  std::vector<MountServer> servers_;  // empty: only address_:port_
  size_t current_ = 0;
  ServerOffer mounted_;  // what the server the disk was mounted from offered
  bool writes_reach_server_ = false;
  std::function<void(size_t)> moved_;
  uint32_t said_unfit_ = 0;  // servers whose misfit this loss has logged, one bit each
  bool said_not_durable_ = false;
  bool unreachable_ = false;
  std::chrono::steady_clock::time_point lost_at_{};
};

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_NETWORK_DISK_H_
