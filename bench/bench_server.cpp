// quensaria-bench-server: serves one image file through a connection
// engine that admits every client at full access, for the benchmarks.
//
//   quensaria-bench-server IMAGE [--port P] [--cache MIB] [--password TEXT]
//
// Prints "listening on port P" once it serves (P is picked by the kernel
// when --port is 0, the default) and runs until SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "service/engine/connection_engine.h"
#include "shared/password_digest.h"

namespace {

using quensaria::ServerConfig;

int Usage() {
  std::fprintf(stderr,
               "usage: quensaria-bench-server IMAGE [--port P] [--cache MIB] [--password TEXT]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  ServerConfig config{};
  std::strncpy(config.Source, argv[1], sizeof config.Source - 1);
  std::string password = "bench";
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--port") {
      config.Port = static_cast<uint16_t>(std::atoi(argv[i + 1]));
    } else if (flag == "--cache") {
      config.Cache = std::atoi(argv[i + 1]);
    } else if (flag == "--password") {
      password = argv[i + 1];
    } else {
      return Usage();
    }
  }
  const quensaria::Sha1Digest digest = quensaria::PasswordDigest(password);
  std::memcpy(config.Password, digest.data(), digest.size());
  std::memcpy(config.ManagePassword, digest.data(), digest.size());

  // Signals are taken by sigwait below, not by whichever thread they hit.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    quensaria::engine::ConnectionEngine engine(config);
    quensaria::engine::EngineHooks hooks;
    hooks.CheckClientAccess = [](quensaria::engine::Endpoint*, uint32_t, uint8_t& access) {
      access = quensaria::ACCESS_FULL;
      return true;
    };
    engine.SetHooks(hooks);
    std::thread runner([&] { engine.Run(); });
    const uint16_t port = engine.WaitUntilListening(std::chrono::seconds(10));
    if (port == 0) {
      std::fprintf(stderr, "quensaria-bench-server: cannot serve %s\n", config.Source);
      runner.join();
      return 1;
    }
    std::printf("listening on port %u\n", port);
    std::fflush(stdout);
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    engine.Stop();
    runner.join();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quensaria-bench-server: %s\n", e.what());
    return 1;
  }
  return 0;
}
