// ServiceHost: the service main of quensaria and its stop control. Run
// brings the parts up in order — registry, Locals.xml loaded (servers
// marked started come up, each as soon as it listens), host name resolver,
// management socket, ready reported — and stays in the management
// interface's listen loop. Stop,
// the stop control, ends the management interface and the resolver first
// (so no call or look-up touches the registry any more), then stops every
// server (their Started flags stay set, so they come back at the next
// start), saves Locals.xml and frees the registry.
//
// Threads: Run on the main thread, Stop once on another (the signal
// thread); Stop waits until Run has finished bringing the parts up, which
// starts no further export once Stop has begun.
#ifndef QUENSARIA_SERVICE_HOST_SERVICE_HOST_H_
#define QUENSARIA_SERVICE_HOST_SERVICE_HOST_H_

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/engine/endpoint.h"
#include "service/management/management_server.h"
#include "service/management/operations.h"
#include "service/registry/engine_run.h"
#include "service/registry/server_registry.h"
#include "service/store/configuration_store.h"

namespace quensaria::host {

// How much more start-up time systemd is told to allow before each export
// that is started at load (a start takes up to about a second, one whose
// source does not answer up to the open wait).
inline constexpr std::chrono::seconds kStartTimeoutExtension{10};
static_assert(kStartTimeoutExtension >= registry::kOpenWait + registry::kStartWait);

struct HostOptions {
  std::string state_directory;                // where Locals.xml lives
  std::string runtime_directory;              // where ncalrpc/quensariasvc is created
  gid_t socket_group = platform::kKeepGroup;  // the management socket's group
};

class ServiceHost {
 public:
  ServiceHost(HostOptions options, engine::EndpointFactory factory);
  ~ServiceHost();  // Stop, if it has not run
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // Returns when the management interface stops listening (after Stop) or
  // could not start; in the latter case the servers and the resolver keep
  // running until Stop.
  void Run();
  void Stop();

 private:
  void BringUp();
  void MarkStarted();
  bool StopRequested();

  const HostOptions options_;
  store::ConfigurationStore store_;
  std::unique_ptr<registry::ServerRegistry> registry_;
  std::unique_ptr<management::Operations> operations_;
  std::unique_ptr<management::ManagementServer> management_;
  std::thread resolver_;

  std::mutex mutex_;  // guards the flags below
  std::condition_variable changed_;
  bool running_ = false;  // Run has begun
  bool started_ = false;  // Run has brought everything up but the interface
  bool stopped_ = false;
};

}  // namespace quensaria::host

#endif  // QUENSARIA_SERVICE_HOST_SERVICE_HOST_H_
