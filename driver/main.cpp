// velmoran: the driver daemon. Serves the sixteen devices until SIGTERM or
// SIGINT, which unload the driver (every device unmounted first).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/velmoran_driver.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: velmoran [--runtime-dir DIR] [--page-cache]\n"
               "  --runtime-dir DIR  where the devices and drive links live (default /run/velmoran)\n"
               "  --page-cache       serve the device files through the page cache\n");
}

int Run(int argc, char** argv) {
  quensaria::driver::DriverOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runtime-dir" && i + 1 < argc) {
      options.runtime_dir = argv[++i];
    } else if (arg == "--page-cache") {
      options.page_cache = true;
    } else {
      Usage();
      return 2;
    }
  }

  // Every thread inherits the mask; the signals are taken by sigwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  auto driver = quensaria::driver::Driver::Load(options, [] { ::kill(::getpid(), SIGTERM); });
  if (!driver.ok()) {
    std::fprintf(stderr, "velmoran: %s\n", driver.status().ToString().c_str());
    return 1;
  }
  std::fprintf(stderr, "velmoran: devices at %s\n", driver.value()->device_dir().c_str());
  int signal_number = 0;
  sigwait(&stop, &signal_number);
  driver.value()->Unload();
  std::fprintf(stderr, "velmoran: unloaded\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velmoran: %s\n", e.what());
    return 1;
  }
}
