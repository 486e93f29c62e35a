// quensaria-bench-server: serves one image file through the server
// registry and the connection engine, as the service does, for the
// benchmarks.
//
//   quensaria-bench-server SOURCE [--port P] [--cache MIB] [--password TEXT]
//                          [--clients local|any] [--ceph-conf FILE] [--auth plain|tls]
//
// SOURCE is an image file or device, or an RBD image ("rbd:POOL/IMAGE...")
// of the cluster that --ceph-conf describes.
// The export admits clients by a static entry: "local" (the default) is an
// exact 127.0.0.1 entry at full access; "any" is an "Any Address" entry at
// full access, which admits at virtual write until a client logs on with
// the management password. --password is that management password (the
// log-on password is another one), so either way a client that logs on
// with it gets full access. Prints "listening on port P" once it serves (P
// is picked by the kernel when --port is 0, the default) and runs until
// SIGINT or SIGTERM. --auth tls serves it as a TLS export (the management
// identity's key is the digest of --password).
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/socket.h"
#include "service/engine/connection_engine.h"
#include "service/registry/server_registry.h"
#include "service/source/rbd_io.h"
#include "shared/password_digest.h"

namespace {

using quensaria::ClientEntry;
using quensaria::ServerConfig;
using quensaria::registry::Handle;

int Usage() {
  std::fprintf(stderr,
               "usage: quensaria-bench-server SOURCE [--port P] [--cache MIB] [--password TEXT] "
               "[--clients local|any] [--ceph-conf FILE] [--auth plain|tls]\n");
  return 2;
}

void SetDigest(uint8_t* field, const std::string& password) {
  const quensaria::Sha1Digest digest = quensaria::PasswordDigest(password);
  std::memcpy(field, digest.data(), digest.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  ServerConfig config{};
  std::strncpy(config.Source, argv[1], sizeof config.Source - 1);
  std::string password = "bench";
  std::string clients = "local";
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--port") {
      config.Port = static_cast<uint16_t>(std::atoi(argv[i + 1]));
    } else if (flag == "--cache") {
      config.Cache = std::atoi(argv[i + 1]);
    } else if (flag == "--password") {
      password = argv[i + 1];
    } else if (flag == "--clients") {
      clients = argv[i + 1];
    } else if (flag == "--auth") {
      const std::string auth = argv[i + 1];
      if (auth != "plain" && auth != "tls") return Usage();
      config.AuthMode = auth == "tls" ? quensaria::AUTH_MODE_TLS : quensaria::AUTH_MODE_PLAIN;
    } else if (flag == "--ceph-conf") {
      quensaria::source::CephSettings ceph;
      ceph.conf_file = argv[i + 1];
      quensaria::source::SetCephSettings(ceph);
    } else {
      return Usage();
    }
  }
  if (clients != "local" && clients != "any") return Usage();
  SetDigest(config.ManagePassword, password);
  SetDigest(config.Password, password + " (log-on)");

  // Signals are taken by sigwait below, not by whichever thread they hit.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    // The service's engine factory; the port the engine got is read back
    // from the engine it built.
    std::mutex mutex;
    quensaria::engine::ConnectionEngine* engine = nullptr;
    quensaria::registry::ServerRegistry registry([&](const ServerConfig& settings) {
      std::unique_ptr<quensaria::engine::Endpoint> endpoint =
          quensaria::engine::CreateConnectionEngine(settings);
      std::scoped_lock lock(mutex);
      engine = dynamic_cast<quensaria::engine::ConnectionEngine*>(endpoint.get());
      return endpoint;
    });
    Handle server = 0;
    ClientEntry entry{};
    entry.address = clients == "any" ? 0 : quensaria::platform::Ipv4(127, 0, 0, 1);
    entry.access = quensaria::ACCESS_FULL;
    if (registry.AddServer(config, server) != 0 || registry.AddStaticClient(server, entry) != 0 ||
        registry.StartServer(server) != 0) {
      std::fprintf(stderr, "quensaria-bench-server: cannot serve %s\n", config.Source);
      return 1;
    }
    uint16_t port = 0;
    {
      std::scoped_lock lock(mutex);
      port = engine->WaitUntilListening(std::chrono::seconds(10));
    }
    if (port == 0) {
      std::fprintf(stderr, "quensaria-bench-server: the engine of %s does not listen\n",
                   config.Source);
      return 1;
    }
    std::printf("listening on port %u\n", port);
    std::fflush(stdout);
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    static_cast<void>(registry.StopServer(server));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quensaria-bench-server: %s\n", e.what());
    return 1;
  }
  return 0;
}
