// quensaria-bench: a block-protocol load generator that behaves like the
// driver (log on, query, then strictly one request at a time on each
// connection) and reports throughput.
//
//   quensaria-bench --port P --workload seq-read|rand-read|write
//                   [--block BYTES] [--connections N] [--seconds S]
//                   [--password TEXT]
//
// seq-read and write walk each connection's own slice of the disk in order
// (wrapping round), rand-read picks block-aligned offsets over the whole
// disk. Prints one line: workload, block size, connections, MiB/s, IOPS and
// the mean latency per request.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

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
    } else {
      return false;
    }
  }
  return o.port != 0 && o.block > 0 && o.block <= quensaria::kMaxTransfer && o.connections > 0 &&
         (o.workload == "seq-read" || o.workload == "rand-read" || o.workload == "write");
}

void RunConnection(const Options& o, int index, Clock::time_point start, Clock::time_point end,
                   Totals& totals, std::atomic<bool>& failed_setup) {
  BlockClient client;
  quensaria::QueryData query;
  if (client.Connect(o.port) != 0 || client.Login(o.password).reply.status != quensaria::REPLY_OK ||
      client.Query(query).error != 0 || query.disk_size < o.block) {
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
  while (Clock::now() < end) {
    uint64_t block;
    if (o.workload == "rand-read") {
      block = random() % blocks;
    } else {
      block = first + step++ % slice;
    }
    const uint64_t offset = block * o.block;
    const Exchange x = o.workload == "write" ? client.Write(offset, buffer.data(), o.block)
                                             : client.ReadInto(offset, o.block, buffer.data());
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

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: quensaria-bench --port P --workload seq-read|rand-read|write "
                 "[--block BYTES] [--connections N] [--seconds S] [--password TEXT]\n");
    return 2;
  }
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
