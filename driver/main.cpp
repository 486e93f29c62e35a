// velmoran: the driver daemon. Serves the sixteen devices until SIGTERM,
// SIGINT or SIGHUP (its terminal closed), which unload the driver (every
// device flushed and unmounted first). Under systemd (Type=notify) it reports READY=1 once the
// device files exist, and STOPPING=1 when it begins to unload.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/velmoran_driver.h"
#include "platform/service_notify.h"

namespace {

// On standard output when asked for (--help), else on standard error.
void Usage(FILE* to = stderr) {
  std::fprintf(to,
               "usage: velmoran [--runtime-dir DIR] [--page-cache] [--reconnect-timeout SECONDS]\n"
               "                [--no-block-devices]\n"
               "  --runtime-dir DIR            where the devices and drive links live\n"
               "                               (default /run/velmoran)\n"
               "  --page-cache                 serve the device files through the page cache\n"
               "  --no-block-devices           do not serve mounted devices as block devices\n"
               "                               /dev/ublkbN too (where the kernel has ublk)\n"
               "  --reconnect-timeout SECONDS  how long a request whose connection was lost\n"
               "                               keeps trying to reach its server (default 60;\n"
               "                               0: one attempt)\n"
               "  -h, --help                   print this help and exit\n");
}

// A whole number of seconds, at most a day: plain digits, as strtoull
// would also pass over leading blanks and a sign.
bool ParseSeconds(const char* text, std::chrono::milliseconds* out) {
  if (text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long seconds = std::strtoull(text, &end, 10);
  if (*end != '\0' || errno != 0 || seconds > 86400) return false;
  *out = std::chrono::seconds(seconds);
  return true;
}

int Run(int argc, char** argv) {
  quensaria::driver::DriverOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return 0;
    } else if (arg == "--runtime-dir" && i + 1 < argc && argv[i + 1][0] != '\0') {
      options.runtime_dir = argv[++i];
    } else if (arg == "--page-cache") {
      options.page_cache = true;
    } else if (arg == "--no-block-devices") {
      options.block_devices = false;
    } else if (arg == "--reconnect-timeout" && i + 1 < argc) {
      if (!ParseSeconds(argv[++i], &options.transport.reconnect_timeout)) {
        Usage();
        return 2;
      }
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
  // Left to its default, a hang-up would end the driver without a flush and
  // leave its mount and block devices dead.
  sigaddset(&stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  auto driver = quensaria::driver::Driver::Load(options, [] { ::kill(::getpid(), SIGTERM); });
  if (!driver.ok()) {
    std::fprintf(stderr, "velmoran: %s\n", driver.status().ToString().c_str());
    return 1;
  }
  std::fprintf(stderr, "velmoran: devices at %s\n", driver.value()->device_dir().c_str());
  // Units ordered after this one (a mounter's automatic mount) find them.
  quensaria::platform::NotifyReady();
  int signal_number = 0;
  sigwait(&stop, &signal_number);
  quensaria::platform::NotifyStopping();
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
