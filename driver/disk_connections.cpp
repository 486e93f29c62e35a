#include "driver/disk_connections.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "driver/debug_print.h"

namespace quensaria::driver {
namespace {

constexpr size_t kNone = std::numeric_limits<size_t>::max();

// A connection that is up and left idle this long takes the next request,
// so that every connection stays in use: one whose server went away fails
// over or reconnects now, not under the next burst of requests. One that is
// down is taken, as before, only when no connection that is up is free.
constexpr auto kIdleTurn = std::chrono::seconds(1);

}  // namespace

DiskConnections::DiskConnections(std::unique_ptr<NetworkDisk> first, const QueryData& query)
    : query_(query) {
  connections_.push_back({std::move(first)});
}

DiskConnections::~DiskConnections() {
  DebugPrint("Disk of %zu connections: at most %zu requests at once", connections_.size(),
             most_busy_);
}

size_t DiskConnections::MostAtOnce() const {
  std::scoped_lock lock(mu_);
  return most_busy_;
}

void DiskConnections::Open(size_t count) {
  while (connections_.size() < count) {
    // A stop or unload is waiting: each further connection would only be
    // closed again by the unmount that follows.
    if (connections_[0].disk->given_up()) {
      DebugPrint(
          "Connection %zu of %zu not opened: the device is stopping; the disk goes on with %zu",
          connections_.size() + 1, count, connections_.size());
      break;
    }
    NtResult<MountedDisk> another = NetworkDisk::MountAnother(*connections_[0].disk);
    if (!another.ok()) {
      DebugPrint("Connection %zu of %zu not opened (%X): the disk goes on with %zu",
                 connections_.size() + 1, count, another.status(), connections_.size());
      break;
    }
    auto [disk, query] = std::move(another).value();
    // The first connection's answer decides; a disk must not be served
    // differently by one of its connections. The disk goes on with the ones
    // that agree rather than fail the mount: the first answer is what a disk
    // of one connection would go by, and fewer connections are only slower.
    // No later one is tried: an export that changes under the mount may
    // answer each differently.
    if (query.access != query_.access || query.disk_size != query_.disk_size) {
      DebugPrint(
          "Connection %zu of %zu closed: the server gave it access %u and size %llu, the first "
          "one access %u and size %llu; the disk goes on with %zu",
          connections_.size() + 1, count, query.access,
          static_cast<unsigned long long>(query.disk_size), query_.access,
          static_cast<unsigned long long>(query_.disk_size), connections_.size());
      break;
    }
    connections_.push_back({std::move(disk)});
  }
  for (size_t i = 0; i < connections_.size(); ++i) {
    connections_[i].disk->set_others_serve([this, i] {
      std::scoped_lock lock(mu_);
      return OthersUp(i);
    });
  }
}

void DiskConnections::set_give_up(const WakeFlag* flag) {
  for (Connection& c : connections_) c.disk->set_give_up(flag);
}

size_t DiskConnections::Up() const {
  std::scoped_lock lock(mu_);
  size_t up = 0;
  for (const Connection& c : connections_) up += c.up ? 1 : 0;
  return up;
}

bool DiskConnections::OthersUp(size_t index) const {
  for (size_t i = 0; i < connections_.size(); ++i) {
    if (i != index && connections_[i].up) return true;
  }
  return false;
}

size_t DiskConnections::Take(uint32_t tried, std::unique_lock<std::mutex>& lock) {
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    size_t best = kNone;
    bool untried = false;
    for (size_t i = 0; i < connections_.size(); ++i) {
      if ((tried & (1u << i)) != 0) continue;
      untried = true;
      const Connection& c = connections_[i];
      if (c.busy) continue;
      if (c.up && now - c.last_used >= kIdleTurn) return i;
      // The first free one that is up, else the first free one: requests one
      // at a time stay on one connection, whose server polls a moment for
      // the next request after each answer; others take what comes at once.
      if (best == kNone || (c.up && !connections_[best].up)) best = i;
    }
    if (best != kNone || !untried) return best;
    freed_.wait(lock);
  }
}

template <typename Operation>
NtStatus DiskConnections::OnConnection(Operation operation, bool once) {
  NtStatus status = STATUS_INVALID_DEVICE_STATE;
  uint32_t tried = 0;
  // Set at the request's first loss: until the reconnect time-out from then,
  // a loss is not the answer while a connection may yet serve it.
  std::chrono::steady_clock::time_point deadline{};
  bool last_try = false;
  std::unique_lock lock(mu_);
  for (;;) {
    size_t index = Take(tried, lock);
    if (index == kNone && !last_try && deadline != std::chrono::steady_clock::time_point{}) {
      // Every connection has had the request, and none could serve it yet:
      // round again. On one that came back meanwhile it is served; with none
      // up, the connection it lands on waits for its server itself.
      tried = 0;
      index = Take(tried, lock);
    }
    if (index == kNone) return status;
    Connection& c = connections_[index];
    // Nor on a connection still up (idle since the server went silent), nor
    // for the flush before the unmount: the server has just had its
    // attempt, and a reply and a log-on more would hold the unmount or stop
    // for two time-outs more, on each connection in turn.
    if (unreachable_ != STATUS_SUCCESS && c.disk->given_up()) return unreachable_;
    c.busy = true;
    most_busy_ = std::max(most_busy_, ++busy_);
    lock.unlock();
    try {
      status = operation(*c.disk);
    } catch (...) {
      // No memory on the way: the connection is still the disk's.
      lock.lock();
      c.busy = false;
      --busy_;
      freed_.notify_all();
      throw;
    }
    const bool up = c.disk->up();
    const auto now = std::chrono::steady_clock::now();
    lock.lock();
    c.busy = false;
    c.last_used = now;
    --busy_;
    c.up = up;
    tried |= 1u << index;
    if (status == STATUS_SUCCESS) {
      unreachable_ = STATUS_SUCCESS;
    } else if (!up && c.disk->unreachable() && c.disk->given_up()) {
      unreachable_ = status;
    }
    freed_.notify_all();
    // A connection that is up answered; one that lost its way hands the
    // request to another (repeating a read, a write of whole blocks or a
    // flush is harmless). A refused log-on, or a loss once the time-out has
    // run out, ends the request unless another connection is up. One cut
    // short (an unmount or stop waits) ends it there: a server gone silent
    // would hold the wait for a reply time-out on each connection in turn.
    if (status == STATUS_SUCCESS || up || once || c.disk->given_up()) return status;
    if (deadline == std::chrono::steady_clock::time_point{}) {
      // From when the loss was found: a connection that waited for its
      // server meanwhile has spent that time already.
      const auto lost = c.disk->lost_at();
      deadline = (lost != std::chrono::steady_clock::time_point{} ? lost : now) +
                 c.disk->reconnect_timeout();
    }
    last_try = NetworkDisk::Refused(status) || now >= deadline;
    if (last_try && !OthersUp(index)) return status;
    DebugPrint("Connection %zu lost (%X): its request goes on on another", index + 1, status);
  }
}

NtStatus DiskConnections::Read(uint64_t offset, uint64_t length, uint8_t* into) {
  return OnConnection([&](NetworkDisk& disk) { return disk.Read(offset, length, into); });
}

NtStatus DiskConnections::Write(uint64_t offset, uint64_t length, const uint8_t* from) {
  uint64_t ticket;
  {
    std::scoped_lock lock(mu_);
    ticket = next_write_++;
    writing_.insert(ticket);
  }
  // Answered, failed or thrown (no memory), the write no longer holds up
  // the flushes after it.
  auto done = [&] {
    std::scoped_lock lock(mu_);
    writing_.erase(ticket);
    freed_.notify_all();
  };
  NtStatus status;
  try {
    status = OnConnection([&](NetworkDisk& disk) { return disk.Write(offset, length, from); });
  } catch (...) {
    done();
    throw;
  }
  done();
  return status;
}

NtStatus DiskConnections::Flush(bool bounded) {
  {
    // Every write taken before the flush is answered first, wherever it went.
    std::unique_lock lock(mu_);
    const uint64_t mark = next_write_;
    freed_.wait(lock, [&] { return writing_.empty() || *writing_.begin() >= mark; });
  }
  return OnConnection([bounded](NetworkDisk& disk) { return disk.Flush(bounded); }, bounded);
}

}  // namespace quensaria::driver
