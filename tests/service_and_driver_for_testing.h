// The real quensaria (--console, set up through ludrane-cli as an
// administrator would) and the real velmoran, each on a runtime directory
// under a test's scratch directory: the start-up, export and clean-stop
// steps that the tests of the whole stack share. Failures are reported to
// GoogleTest; callers wrap Start in ASSERT_NO_FATAL_FAILURE.
#ifndef QUENSARIA_TESTS_SERVICE_AND_DRIVER_FOR_TESTING_H_
#define QUENSARIA_TESTS_SERVICE_AND_DRIVER_FOR_TESTING_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/velmoran_harness_for_testing.h"

namespace quensaria::harness {

class ServiceAndDriver {
 public:
  // `scratch` must outlive this object.
  explicit ServiceAndDriver(const ScratchDir& scratch) : scratch_(scratch) {}

  // Starts the service, then the driver.
  void Start();
  // Starts the service (again, after service()->Stop()) and waits until
  // ludrane-cli reaches it.
  void StartService();
  // Starts the service (after service()->Stop()) as on a machine that has
  // restarted since: it reads another boot identity, now and at every later
  // start.
  void StartServiceOnARestartedMachine();
  // From the next StartService on, the service's command line follows
  // `prefix` (a program that runs it in a namespace, say); empty: none.
  void SetServiceWrapper(std::vector<std::string> prefix) { wrapper_ = std::move(prefix); }
  // The same for the driver, from the next Start on, with `arguments`
  // after its own.
  void SetDriverCommand(std::vector<std::string> prefix, std::vector<std::string> arguments) {
    driver_prefix_ = std::move(prefix);
    driver_arguments_ = std::move(arguments);
  }
  // Stops whichever runs, the driver first, expecting clean exits and no
  // faults in either log.
  void StopAndCheck();

  // The ludrane-cli command line for `arguments` on this service.
  std::string Cli(const std::string& arguments) const;
  // Adds `image` as a server on a free port with `options`, lets 127.0.0.1
  // in at `access`, and starts it unless `start` is false. Returns the port;
  // `*server` (if given) gets the server's handle.
  int Export(const std::string& image, const std::string& access, const std::string& options = "",
             bool start = true, std::string* server = nullptr);

  // Null until started.
  Program* service() const { return service_.get(); }
  VelmoranProcess* velmoran() const { return velmoran_.get(); }

 private:
  const ScratchDir& scratch_;
  std::unique_ptr<Program> service_;
  std::unique_ptr<VelmoranProcess> velmoran_;
  std::vector<std::string> wrapper_;
  std::vector<std::string> driver_prefix_;
  std::vector<std::string> driver_arguments_;
};

// A fixture for tests of the whole stack: both programs started before each
// test (skipped where this machine cannot run the driver) and stopped
// cleanly after it, once what the test attached and mounted is undone.
// Fixtures that need more override SetUp and TearDown and call these.
class ServiceAndDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(VelmoranIsBuilt()) << "velmoran is not built";
    const std::string missing = MissingForDriver(/*loop=*/true);
    if (!missing.empty()) GTEST_SKIP() << missing;
    ASSERT_NO_FATAL_FAILURE(stack_.Start());
  }
  void TearDown() override {
    attached_.UndoAll();
    stack_.StopAndCheck();
  }

  ScratchDir scratch_;
  ServiceAndDriver stack_{scratch_};
  Attachments attached_;
};

}  // namespace quensaria::harness

#endif  // QUENSARIA_TESTS_SERVICE_AND_DRIVER_FOR_TESTING_H_
