#include "driver/network_disk.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "driver/debug_print.h"
#include "shared/dotted_ipv4.h"

namespace quensaria::driver {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kFirstPause{100};
constexpr milliseconds kLongestPause{5000};

// A reply that does not come in time is a connection lost like any other:
// a server that went silent (a black hole, a link down, a machine that
// stopped) is waited for as a restarting service is.
bool Lost(NtStatus status, bool patient) {
  if (status == STATUS_INVALID_DEVICE_STATE) return true;
  return patient &&
         (status == STATUS_CONNECTION_RESET || status == STATUS_CONNECTION_DISCONNECTED ||
          status == STATUS_CONNECTION_ABORTED || status == STATUS_IO_TIMEOUT);
}

long Milliseconds(Clock::duration d) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(d).count());
}

// What a service that reports no boot identity sends.
constexpr std::array<uint8_t, kBootIdSize> kUnknownBoot{};

// Runs `chunk` (bytes done so far, chunk length) over `length` bytes in
// chunks of at most kMaxTransfer, one after the other, until one fails.
template <typename Chunk>
NtStatus InChunks(uint64_t length, Chunk chunk) {
  for (uint64_t done = 0; done < length;) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(length - done, kMaxTransfer));
    const NtStatus status = chunk(done, n);
    if (status != STATUS_SUCCESS) return status;
    done += n;
  }
  return STATUS_SUCCESS;
}

// A shared source was named at mount (SetServers asked for it).
bool KnowsSource(const ServerOffer& offer) {
  return std::any_of(offer.source_id.begin(), offer.source_id.end(),
                     [](uint8_t b) { return b != 0; });
}

unsigned BootNumber(const std::array<uint8_t, kBootIdSize>& id) {
  return static_cast<unsigned>(id[0]) << 24 | id[1] << 16 | id[2] << 8 | id[3];
}

}  // namespace

bool NetworkDisk::Refused(NtStatus status) {
  return status == STATUS_WRONG_PASSWORD || status == STATUS_EXPORT_NEEDS_TLS ||
         status == STATUS_EXPORT_NOT_TLS;
}

NtResult<MountedDisk> NetworkDisk::Mount(uint32_t address, uint16_t port,
                                         const std::array<uint8_t, kDigestSize>& digest,
                                         const TransportOptions& options) {
  std::unique_ptr<NetworkDisk> created(new NetworkDisk(address, port, digest, options));
  TransportEndpoint& endpoint = created->endpoint_;
  NtStatus status = endpoint.Connect(address, port);
  if (status != STATUS_SUCCESS) return status;
  if ((status = endpoint.LogOn(digest.data(), digest.size())) != STATUS_SUCCESS) return status;
  const NtResult<QueryData> query = endpoint.QueryDevice();
  if (!query.ok()) return query.status();
  created->Learn(query.value());
  created->mounted_.disk_size = query.value().disk_size;
  created->mounted_.access = query.value().access;
  return MountedDisk{std::move(created), query.value()};
}

NtResult<MountedDisk> NetworkDisk::MountAnother(const NetworkDisk& first) {
  // Connected and logged on as the first was.
  NtResult<MountedDisk> mounted =
      Mount(first.address_, first.port_, first.digest_, first.endpoint_.options());
  if (!mounted.ok()) return mounted;
  MountedDisk another = std::move(mounted).value();
  NetworkDisk& created = *another.disk;
  created.give_up_ = first.give_up_;
  created.durability_ = first.durability_;
  created.servers_ = first.servers_;
  created.current_ = first.current_;
  created.mounted_ = first.mounted_;
  created.writes_reach_server_ = first.writes_reach_server_;
  created.moved_ = first.moved_;
  created.Learn(another.query, first.current_);
  return another;
}

NetworkDisk::~NetworkDisk() {
  if (endpoint_.connected()) (void)endpoint_.Disconnect();
  // The freed heap keeps no log-on credential.
  explicit_bzero(digest_.data(), digest_.size());
}

NtStatus NetworkDisk::Read(uint64_t offset, uint64_t length, uint8_t* into) {
  return WithReconnects([&] {
    return InChunks(length, [&](uint64_t done, uint32_t chunk) {
      return endpoint_.ReadChunk(offset + done, chunk, into + done);
    });
  });
}

NtStatus NetworkDisk::Write(uint64_t offset, uint64_t length, const uint8_t* from) {
  return WithReconnects([&] {
    return InChunks(length, [&](uint64_t done, uint32_t chunk) {
      const NtStatus status = endpoint_.WriteChunk(offset + done, chunk, from + done);
      if (status == STATUS_SUCCESS) {
        std::scoped_lock lock(durability_->mu);
        ++durability_->acknowledged;
      }
      return status;
    });
  });
}

NtStatus NetworkDisk::SetServers(std::vector<MountServer> servers, size_t current,
                                 bool writes_reach_server, std::function<void(size_t)> moved) {
  if (servers.empty() || servers.size() > kMaxMountServers || current >= servers.size()) {
    return STATUS_INVALID_PARAMETER;
  }
  servers_ = std::move(servers);
  current_ = current;
  writes_reach_server_ = writes_reach_server;
  moved_ = std::move(moved);
  {
    std::scoped_lock lock(durability_->mu);
    auto& boot_ids = durability_->boot_ids;
    boot_ids[current_] = boot_ids[0];
    if (current_ != 0) boot_ids[0] = kUnknownBoot;
  }
  address_ = servers_[current_].address;
  port_ = servers_[current_].port;
  // Only a disk that writes to its server and has another to go to needs
  // to know what it writes to.
  if (!writes_reach_server_ || servers_.size() < 2 || (flags_ & QUERY_FLAG_SOURCE_ID) == 0) {
    if (writes_reach_server_ && servers_.size() > 1) {
      DebugPrint("Server %s cannot tell its source: this disk goes on with no other server",
                 ServerText(servers_[current_]).c_str());
    }
    return STATUS_SUCCESS;
  }
  const NtResult<SourceId> id = endpoint_.QuerySourceId();
  if (!id.ok()) return id.status();
  mounted_.source_id = id.value();
  return STATUS_SUCCESS;
}

NtStatus NetworkDisk::Reconnect(Clock::time_point deadline) {
  if (servers_.size() < 2) return ConnectTo(current_, deadline);
  NtStatus own = STATUS_SUCCESS;
  bool all_refused_log_on = true;
  const size_t on = current_;
  const Clock::time_point began = Clock::now();
  for (size_t k = 0; k < servers_.size(); ++k) {
    // An unmount or stop waits: the servers share one log-on time-out, as
    // each silent one would hold it for a whole one of its own.
    if (given_up()) deadline = std::min(deadline, began + endpoint_.options().reply_timeout);
    if (k > 0 && Clock::now() >= deadline) break;
    const NtStatus status = ConnectTo((on + k) % servers_.size(), deadline);
    if (status == STATUS_SUCCESS) return status;
    if (k == 0) own = status;
    all_refused_log_on = all_refused_log_on && Refused(status);
    if (Clock::now() >= deadline) break;
  }
  // One server refusing the log-on is no reason to stop trying the others.
  if (Refused(own) && !all_refused_log_on) return STATUS_CONNECTION_REFUSED;
  return own;
}

NtStatus NetworkDisk::ConnectTo(size_t index, Clock::time_point deadline) {
  const MountServer server = servers_.empty() ? MountServer{address_, port_} : servers_[index];
  (void)endpoint_.Disconnect();
  // No single attempt may outlast the time the request has left.
  const TransportOptions full = endpoint_.options();
  const auto left =
      std::max(milliseconds(1), std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
  TransportOptions bounded = full;
  bounded.connect_timeout = std::min(full.connect_timeout, left);
  bounded.reply_timeout = std::min(full.reply_timeout, left);
  endpoint_.set_options(bounded);
  NtStatus status = endpoint_.Connect(server.address, server.port);
  // The service serves reads and writes only after a log-on.
  if (status == STATUS_SUCCESS) status = endpoint_.LogOn(digest_.data(), digest_.size());
  QueryData query;
  if (status == STATUS_SUCCESS) {
    const NtResult<QueryData> queried = endpoint_.QueryDevice();
    status = queried.status();
    if (queried.ok()) query = queried.value();
  }
  if (status == STATUS_SUCCESS) {
    // Its own server too: another size there is another disk (another
    // export on the port, a source swapped over a restart), one that now
    // refuses this client has no disk for it, and a disk that writes to a
    // shared source it knows writes to no other one there.
    const bool judged = index != current_ || (writes_reach_server_ && KnowsSource(mounted_));
    const ServerFit fit = judged                                  ? Judge(query, &status)
                          : query.disk_size != mounted_.disk_size ? ServerFit::kOtherSize
                          : query.access == ACCESS_REFUSED        ? ServerFit::kRefused
                                                                  : ServerFit::kFits;
    if (status == STATUS_SUCCESS && fit != ServerFit::kFits) {
      if ((said_unfit_ & (1u << index)) == 0) {
        DebugPrint("Server %s not used: %s", ServerText(server).c_str(), ServerFitText(fit));
        said_unfit_ |= 1u << index;
      }
      (void)endpoint_.Disconnect();
      status = STATUS_CONNECTION_REFUSED;
    }
  }
  endpoint_.set_options(full);
  if (status != STATUS_SUCCESS) {
    endpoint_.MarkLost();
    return status;
  }
  if (index != current_) {
    DebugPrint("Failing over from server %s to server %s", ServerText(servers_[current_]).c_str(),
               ServerText(server).c_str());
    current_ = index;
    address_ = server.address;
    port_ = server.port;
    if (moved_) moved_(index);
  }
  Learn(query, index);
  return STATUS_SUCCESS;
}

ServerFit NetworkDisk::Judge(const QueryData& query, NtStatus* status) {
  ServerOffer offer;
  offer.disk_size = query.disk_size;
  offer.access = query.access;
  if (writes_reach_server_ && (query.flags & QUERY_FLAG_SOURCE_ID) != 0) {
    const NtResult<SourceId> id = endpoint_.QuerySourceId();
    *status = id.status();
    if (id.ok()) offer.source_id = id.value();
  }
  return JudgeServer(mounted_, offer, writes_reach_server_);
}

// A service that does not know its boot (or an older one) cannot tell: only
// two known identities that differ say the machine restarted.
void NetworkDisk::Learn(const QueryData& query, size_t index) {
  std::scoped_lock lock(durability_->mu);
  std::array<uint8_t, kBootIdSize>& known = durability_->boot_ids[index];
  const bool restarted =
      known != kUnknownBoot && query.boot_id != kUnknownBoot && query.boot_id != known;
  const bool unflushed = durability_->acknowledged != durability_->flushed;
  if (restarted && unflushed && !durability_->maybe_lost) {
    durability_->maybe_lost = true;
    DebugPrint(
        "Server machine restarted (boot %08X, was %08X): writes acknowledged since the last "
        "flush may be lost, the next flush fails",
        BootNumber(query.boot_id), BootNumber(known));
  }
  if (query.boot_id != kUnknownBoot) known = query.boot_id;
  flushes_ = (query.flags & QUERY_FLAG_FLUSH) != 0;
  flags_ = query.flags;
}

bool NetworkDisk::Pause(Clock::duration pause) const {
  if (give_up_ != nullptr) return give_up_->Pause(pause);
  std::this_thread::sleep_for(pause);
  return true;
}

template <typename Attempt>
NtStatus NetworkDisk::WithReconnects(Attempt attempt) {
  const milliseconds patience = endpoint_.options().reconnect_timeout;
  const bool patient = patience > milliseconds::zero();
  unreachable_ = false;
  lost_at_ = {};
  NtStatus status = attempt();
  if (!Lost(status, patient)) return status;
  const Clock::time_point start = Clock::now();
  lost_at_ = start;
  const Clock::time_point deadline = start + patience;
  said_unfit_ = 0;
  milliseconds pause = kFirstPause;
  for (;;) {
    status = Reconnect(patient ? deadline : Clock::time_point::max());
    unreachable_ = status != STATUS_SUCCESS;
    if (status == STATUS_SUCCESS) {
      status = attempt();
      if (!patient || !Lost(status, patient)) return status;
    } else if (!patient || Refused(status)) {
      return status;
    } else if (others_serve_ && others_serve_()) {
      return status;
    } else {
      DebugPrint("Reconnect failed %X", status);
    }
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero() || !Pause(std::min<Clock::duration>(pause, left))) {
      DebugPrint("Reconnect gave up %X after %ld ms", status, Milliseconds(Clock::now() - start));
      return status;
    }
    pause = std::min(pause * 2, kLongestPause);
  }
}

NtStatus NetworkDisk::Flush(bool bounded) {
  if (!bounded) return WithReconnects([this] { return SendFlush(); });
  const TransportOptions full = endpoint_.options();
  TransportOptions shorter = full;
  shorter.flush_timeout = full.reply_timeout;
  endpoint_.set_options(shorter);
  const NtStatus status = WithReconnects([this] { return SendFlush(); });
  endpoint_.set_options(full);
  return status;
}

NtStatus NetworkDisk::SendFlush() {
  uint64_t mark;
  {
    std::scoped_lock lock(durability_->mu);
    if (durability_->maybe_lost) {
      durability_->maybe_lost = false;  // said once; later flushes vouch for later writes
      DebugPrint(
          "Flush failed: writes acknowledged before the server's machine restarted may be lost");
      return STATUS_IO_DEVICE_ERROR;
    }
    mark = durability_->acknowledged;
  }
  if (!flushes_) {
    if (!said_not_durable_) {
      // Both in network byte order, as the mount record has them.
      const auto* p = reinterpret_cast<const uint8_t*>(&port_);
      DebugPrint("Server %s:%u cannot make writes durable: flushes succeed without it",
                 FormatIpv4(address_).c_str(), static_cast<unsigned>(p[0] << 8 | p[1]));
      said_not_durable_ = true;
    }
    return STATUS_SUCCESS;
  }
  // Nothing acknowledged since the last flush: nothing to make durable.
  {
    std::scoped_lock lock(durability_->mu);
    if (mark == durability_->flushed) return STATUS_SUCCESS;
  }
  // A flush in flight when an unmount or stop comes waits no longer than a
  // transfer from then on: the service manager waits less than a flush.
  const NtStatus status = endpoint_.FlushWrites([this] { return given_up(); });
  if (status == STATUS_SUCCESS) {
    // Writes acknowledged while it went are not vouched for.
    std::scoped_lock lock(durability_->mu);
    durability_->flushed = std::max(durability_->flushed, mark);
  }
  return status;
}

}  // namespace quensaria::driver
