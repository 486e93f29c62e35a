// DiskConnections: the connections of one mounted network disk, so that
// several of its requests are served at once. Any thread.
//
// The protocol answers one request at a time per connection; a request
// takes a free connection (the first that is up, or one that is up and has
// been idle for a second), waiting for one when all are busy, and is served
// whole on it. Each connection logs on and reconnects on its own
// (NetworkDisk). One that loses its connection and cannot reconnect at once
// hands its request back while another is up, and the request goes on
// there; with none up, it waits for its server on the connection it is on.
// A request fails only once the reconnect time-out since its first loss has
// run out (or the log-on was refused), however often it went round the
// connections meanwhile; while an unmount or stop waits (the give-up flag),
// a loss ends it on the connection it went to, and once a reconnect has
// found no server then, every later request ends at once, on whichever
// connection: the server has had its attempt, and each further one would
// hold the unmount for a reply or a log-on of its own. The flush before the
// unmount then ends at once too, failed; it makes its one attempt only when
// no request has found the server gone meanwhile.
//
// A flush waits until every write taken before it was answered, on whichever
// connection it went, then sends one CMD_FLUSH: the service's flush covers
// every write the export acknowledged, and the connections share what a
// flush vouches for (NetworkDisk).
#ifndef QUENSARIA_DRIVER_DISK_CONNECTIONS_H_
#define QUENSARIA_DRIVER_DISK_CONNECTIONS_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "driver/network_disk.h"
#include "driver/wake_flag.h"
#include "shared/block_protocol.h"
#include "shared/nt_status.h"

namespace quensaria::driver {

class DiskConnections {
 public:
  // `first` is mounted (and its servers set); `query` is what it was told.
  DiskConnections(std::unique_ptr<NetworkDisk> first, const QueryData& query);
  // Says in the log how many requests it served at most at once.
  ~DiskConnections();
  DiskConnections(const DiskConnections&) = delete;
  DiskConnections& operator=(const DiskConnections&) = delete;

  // Opens connections to the first's server until there are `count`. One
  // that cannot be opened, or whose server answers another size or access
  // than the first's, is closed and said in the log; the disk goes on with
  // those it has. None is opened once the first's give-up flag is up (a
  // stop is waiting). Before any request only.
  void Open(size_t count);

  // As NetworkDisk's, on one free connection.
  NtStatus Read(uint64_t offset, uint64_t length, uint8_t* into);
  NtStatus Write(uint64_t offset, uint64_t length, const uint8_t* from);
  // `bounded`: as NetworkDisk's, on one connection only (an unmount waits).
  NtStatus Flush(bool bounded = false);
  // Cuts the reconnect pauses short while raised. REQUIRES: outlives this.
  void set_give_up(const WakeFlag* flag);

  size_t size() const { return connections_.size(); }
  // Connections that are up now.
  size_t Up() const;
  // The most requests it has served at once.
  size_t MostAtOnce() const;

 private:
  struct Connection {
    std::unique_ptr<NetworkDisk> disk;
    bool busy = false;
    bool up = true;
    // When its last request ended (or it was opened).
    std::chrono::steady_clock::time_point last_used = std::chrono::steady_clock::now();
  };
  // `once`: a loss ends the request on the connection it went to.
  template <typename Operation>
  NtStatus OnConnection(Operation operation, bool once = false);
  // A free connection not in `tried` (bits), waiting for one; the index.
  size_t Take(uint32_t tried, std::unique_lock<std::mutex>& lock);
  // Whether a connection other than `index` (any, for kNone) is up.
  bool OthersUp(size_t index) const;

  const QueryData query_;
  std::vector<Connection> connections_;  // fixed after Open
  mutable std::mutex mu_;
  std::condition_variable freed_;  // a connection or a write came back
  size_t busy_ = 0;
  size_t most_busy_ = 0;
  // Not success: while the give-up flag is up, a reconnect found no server,
  // and this is what it said; a request served since clears it.
  NtStatus unreachable_ = STATUS_SUCCESS;
  uint64_t next_write_ = 0;
  std::set<uint64_t> writing_;  // tickets of the writes being served
};

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_DISK_CONNECTIONS_H_
