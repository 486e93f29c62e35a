// quensaria-bench: a block-protocol load generator that behaves like the
// driver (log on, query, then strictly one request at a time on each
// connection) and reports throughput.
//
//   quensaria-bench --port P --workload seq-read|rand-read|write|rand-write-flush|boot
//                   [--block BYTES] [--connections N] [--seconds S]
//                   [--password TEXT] [--span BYTES] [--requests N]
//                   [--tls IDENTITY]
//
// seq-read and write walk each connection's own slice of the disk in order
// (wrapping round), rand-read picks block-aligned offsets over the whole
// disk; rand-write-flush writes at such offsets and follows each write with
// a CMD_FLUSH (as fio's --fsync=1 does), counting the pair as one request.
// Prints one line: workload, block size, connections, MiB/s, IOPS and the
// mean latency per request. --requests ends each connection after N
// requests (or --seconds, whichever comes first), so that whole runs of a
// fixed amount of work can be timed against another client's. --tls speaks
// TLS with a pre-shared key to a TLS export, as IDENTITY ("login" or
// "manage") with the digest of --password as the key, instead of CMD_LOGIN.
//
// boot is a room of machines starting at once from one image: connection i
// comes from 127.0.0.(i+1), and every one reads the same first --span bytes
// (default 256 MiB) in order, all starting together, until done (--seconds
// does not apply). Prints the aggregate MiB/s (all bytes over the time the
// slowest took), the p50 and p99 request latency, and the median and
// slowest connection's time.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "shared/password_digest.h"
#include "tests/block_client_for_testing.h"

namespace {

using quensaria::testing::BlockClient;
using quensaria::testing::Exchange;
using Clock = std::chrono::steady_clock;

struct Options {
  uint16_t port = 0;
  std::string workload;
  uint32_t block = 65536;
  int connections = 1;
  double seconds = 10;
  std::string password = "bench";
  uint64_t span = 256ull << 20;
  uint64_t requests = 0;     // per connection; 0: no limit
  std::string tls_identity;  // empty: plain
};

struct Totals {
  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> failures{0};
};

bool Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--port") {
      o.port = static_cast<uint16_t>(std::atoi(value));
    } else if (flag == "--workload") {
      o.workload = value;
    } else if (flag == "--block") {
      o.block = static_cast<uint32_t>(std::atoi(value));
    } else if (flag == "--connections") {
      o.connections = std::atoi(value);
    } else if (flag == "--seconds") {
      o.seconds = std::atof(value);
    } else if (flag == "--password") {
      o.password = value;
    } else if (flag == "--span") {
      o.span = std::strtoull(value, nullptr, 10);
    } else if (flag == "--tls") {
      o.tls_identity = value;
    } else if (flag == "--requests") {
      o.requests = std::strtoull(value, nullptr, 10);
    } else {
      return false;
    }
  }
  return o.port != 0 && o.block > 0 && o.block <= quensaria::kMaxTransfer && o.connections > 0 &&
         (o.workload == "seq-read" || o.workload == "rand-read" || o.workload == "write" ||
          o.workload == "rand-write-flush" ||
          (o.workload == "boot" && o.connections <= 250 && o.span >= o.block));
}

// Connected and logged on: by CMD_LOGIN, or by the TLS handshake.
bool LogOn(const Options& o, BlockClient& client) {
  if (o.tls_identity.empty()) {
    return client.Connect(o.port) == 0 &&
           client.Login(o.password).reply.status == quensaria::REPLY_OK;
  }
  std::array<uint8_t, quensaria::kDigestSize> key{};
  std::memcpy(key.data(), quensaria::PasswordDigest(o.password).data(), key.size());
  return client.ConnectTls(o.port, o.tls_identity, key) == 0;
}

void RunConnection(const Options& o, int index, Clock::time_point start, Clock::time_point end,
                   Totals& totals, std::atomic<bool>& failed_setup) {
  BlockClient client;
  quensaria::QueryData query;
  if (!LogOn(o, client) || client.Query(query).error != 0 || query.disk_size < o.block ||
      (o.workload == "rand-write-flush" && !(query.flags & quensaria::QUERY_FLAG_FLUSH))) {
    failed_setup = true;
    return;
  }
  const uint64_t blocks = query.disk_size / o.block;
  const uint64_t slice = std::max<uint64_t>(1, blocks / static_cast<uint64_t>(o.connections));
  const uint64_t first = slice * static_cast<uint64_t>(index);
  std::vector<uint8_t> buffer(o.block);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 31 + index);
  std::mt19937_64 random(static_cast<uint64_t>(index) * 7919 + 1);
  std::this_thread::sleep_until(start);
  uint64_t done = 0, failures = 0, step = 0;
  while (Clock::now() < end && (o.requests == 0 || done < o.requests)) {
    uint64_t block;
    const bool flushed = o.workload == "rand-write-flush";
    if (o.workload == "rand-read" || flushed) {
      block = random() % blocks;
    } else {
      block = first + step++ % slice;
    }
    const uint64_t offset = block * o.block;
    Exchange x = o.workload == "write" || flushed ? client.Write(offset, buffer.data(), o.block)
                                                  : client.ReadInto(offset, o.block, buffer.data());
    if (flushed && x.error == 0 && x.reply.status == quensaria::REPLY_OK) x = client.Flush();
    if (x.error != 0) {
      ++failures;
      break;
    }
    if (x.reply.status != quensaria::REPLY_OK) ++failures;
    ++done;
  }
  totals.requests += done;
  totals.failures += failures;
}

// What one machine of a boot storm saw.
struct BootClient {
  std::vector<uint32_t> latencies_us;  // of every request, in order
  double seconds = 0;                  // from the common start to its last reply
  bool failed = false;
};

void RunBootClient(const Options& o, int index, Clock::time_point start, BootClient& out) {
  BlockClient client;
  quensaria::QueryData query;
  const uint32_t from = quensaria::platform::Ipv4(127, 0, 0, static_cast<uint8_t>(index + 1));
  if (client.Connect(o.port, from) != 0 ||
      client.Login(o.password).reply.status != quensaria::REPLY_OK ||
      client.Query(query).error != 0 || query.disk_size < o.span) {
    out.failed = true;
    return;
  }
  std::vector<uint8_t> buffer(o.block);
  out.latencies_us.reserve(o.span / o.block);
  std::this_thread::sleep_until(start);
  for (uint64_t offset = 0; offset + o.block <= o.span; offset += o.block) {
    const auto sent = Clock::now();
    const Exchange x = client.ReadInto(offset, o.block, buffer.data());
    if (x.error != 0 || x.reply.status != quensaria::REPLY_OK) {
      out.failed = true;
      return;
    }
    const auto now = Clock::now();
    out.latencies_us.push_back(static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now - sent).count()));
  }
  out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

int RunBoot(const Options& o) {
  std::vector<BootClient> clients(static_cast<size_t>(o.connections));
  // Every machine has logged on before the clock starts.
  const auto start = Clock::now() + std::chrono::seconds(1);
  std::vector<std::thread> threads;
  for (int i = 0; i < o.connections; ++i) {
    threads.emplace_back(RunBootClient, std::cref(o), i, start, std::ref(clients[i]));
  }
  for (auto& t : threads) t.join();
  std::vector<uint32_t> latencies;
  std::vector<double> times;
  for (const BootClient& c : clients) {
    if (c.failed) {
      std::fprintf(stderr, "quensaria-bench: a boot client failed\n");
      return 1;
    }
    latencies.insert(latencies.end(), c.latencies_us.begin(), c.latencies_us.end());
    times.push_back(c.seconds);
  }
  std::sort(latencies.begin(), latencies.end());
  std::sort(times.begin(), times.end());
  const auto percentile = [&](double p) {
    return latencies[std::min(latencies.size() - 1, static_cast<size_t>(p * latencies.size()))];
  };
  const double bytes = static_cast<double>(o.span / o.block * o.block) * o.connections;
  std::printf(
      "workload=boot block=%u connections=%d MiB/s=%.1f p50_us=%u p99_us=%u median_s=%.2f "
      "slowest_s=%.2f\n",
      o.block, o.connections, bytes / times.back() / (1024.0 * 1024.0), percentile(0.50),
      percentile(0.99), times[times.size() / 2], times.back());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: quensaria-bench --port P --workload "
                 "seq-read|rand-read|write|rand-write-flush|boot "
                 "[--block BYTES] [--connections N] [--seconds S] [--password TEXT] "
                 "[--span BYTES] [--requests N] [--tls IDENTITY]\n");
    return 2;
  }
  if (o.workload == "boot") return RunBoot(o);
  Totals totals;
  std::atomic<bool> failed_setup{false};
  // Every connection is set up before the clock starts.
  const auto start = Clock::now() + std::chrono::milliseconds(500);
  const auto end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
  std::vector<std::thread> threads;
  for (int i = 0; i < o.connections; ++i) {
    threads.emplace_back(RunConnection, std::cref(o), i, start, end, std::ref(totals),
                         std::ref(failed_setup));
  }
  for (auto& t : threads) t.join();
  if (failed_setup) {
    std::fprintf(stderr, "quensaria-bench: a connection could not log on and query\n");
    return 1;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double iops = static_cast<double>(totals.requests) / elapsed;
  const double mib = iops * o.block / (1024.0 * 1024.0);
  const double latency_us = o.connections * 1e6 / (iops > 0 ? iops : 1);
  std::printf(
      "workload=%s block=%u connections=%d MiB/s=%.1f IOPS=%.0f lat_us=%.1f failures=%llu\n",
      o.workload.c_str(), o.block, o.connections, mib, iops, latency_us,
      static_cast<unsigned long long>(totals.failures.load()));
  return totals.failures == 0 ? 0 : 1;
}
