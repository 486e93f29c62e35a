// quensaria: the disk-serving service.
//
//   quensaria [--state-dir DIR] [--runtime-dir DIR] [--socket-group NAME]
//       as a systemd service (Type=notify); started any other way it ends
//       at once with status 0
//   quensaria --console [--state-dir DIR] [--runtime-dir DIR] [--socket-group NAME]
//       in the foreground; Ctrl-C or SIGTERM stops it
//
// Locals.xml is kept in DIR of --state-dir (default: the directory of this
// program, or the one the build chose); the management socket is
// <runtime>/ncalrpc/quensariasvc (default runtime /run/quensaria), of group
// NAME (default "quensaria" where the packages made that group): its
// members may manage the service. Exports of RBD images ("rbd:POOL/IMAGE")
// reach the Ceph cluster through --ceph-conf FILE (default: librados'
// search, $CEPH_CONF or /etc/ceph/ceph.conf) as client.ID of --ceph-id
// (default admin).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "platform/console.h"
#include "platform/program_path.h"
#include "platform/service_notify.h"
#include "platform/stop_signals.h"
#include "platform/thread_identity.h"
#include "platform/unix_socket.h"
#include "platform/whole_file.h"
#include "service/engine/connection_engine.h"
#include "service/host/service_host.h"
#include "service/source/rbd_io.h"
#include "shared/management_interface.h"

namespace quensaria::host {
namespace {

constexpr char kUsage[] =
    "usage: quensaria [--console] [--state-dir DIR] [--runtime-dir DIR] [--socket-group NAME]\n"
    "                 [--ceph-conf FILE] [--ceph-id ID]\n"
    "  --console          run in the foreground (Ctrl-C or SIGTERM stops it);\n"
    "                     without it the program only runs under systemd\n"
    "  --state-dir DIR    where Locals.xml is kept\n"
    "  --runtime-dir DIR  where the management socket ncalrpc/quensariasvc is made\n"
    "  --socket-group NAME  the management socket's group, whose members may manage\n"
    "                     the service (default quensaria, where that group exists)\n"
    "  --ceph-conf FILE   the Ceph configuration for rbd: sources (default: $CEPH_CONF,\n"
    "                     else /etc/ceph/ceph.conf)\n"
    "  --ceph-id ID       the Ceph client they connect as, client.ID (default admin); its\n"
    "                     keyring is found through the configuration\n"
    "  -h, --help         print this help and exit\n";

constexpr char kDefaultSocketGroup[] = "quensaria";

struct Arguments {
  bool console = false;
  bool help = false;
  std::string state_directory;
  std::string runtime_directory = kDefaultRuntimeDirectory;
  std::string socket_group;  // empty: kDefaultSocketGroup where it exists
  source::CephSettings ceph;
};

// False (with a message) for arguments we do not take.
bool Parse(int argc, char** argv, Arguments& arguments) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](std::string& target) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return false;
      target = argv[++i];
      return true;
    };
    if (arg == "-h" || arg == "--help") {
      arguments.help = true;
      return true;
    } else if (arg == "--console") {
      arguments.console = true;
    } else if (arg == "--state-dir") {
      if (!value(arguments.state_directory)) return false;
    } else if (arg == "--runtime-dir") {
      if (!value(arguments.runtime_directory)) return false;
    } else if (arg == "--socket-group") {
      if (!value(arguments.socket_group)) return false;
    } else if (arg == "--ceph-conf") {
      if (!value(arguments.ceph.conf_file)) return false;
    } else if (arg == "--ceph-id") {
      if (!value(arguments.ceph.client_id)) return false;
    } else {
      return false;
    }
  }
  return true;
}

std::string DefaultStateDirectory() {
#ifdef QUENSARIA_STATE_DIR_DEFAULT
  if (std::strlen(QUENSARIA_STATE_DIR_DEFAULT) != 0) return QUENSARIA_STATE_DIR_DEFAULT;
#endif
  Result<std::string> directory = platform::ProgramDirectory();
  return directory.ok() ? directory.value() : ".";
}

// Whoever may write to the state directory may put a Locals.xml of his own
// there, or a link in its place through which the saves replace another
// file: neither it (sticky or not: Locals.xml may not exist yet) nor a
// directory above it without the sticky bit may be writable by all. Its
// owner may do as much whatever its mode: it must be root's or the
// service's own (those above are the administrator's choice, such as a
// checkout of his own served from as root). Empty when it may be used,
// else why not.
std::string WhyNotStateDirectory(const std::string& directory) {
  char* resolved = ::realpath(directory.c_str(), nullptr);
  if (resolved == nullptr) return {};  // said when Locals.xml is read or saved
  std::string path = resolved;
  std::free(resolved);
  for (bool own = true;; own = false) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {};
    if ((st.st_mode & S_IWOTH) != 0 && (own || (st.st_mode & S_ISVTX) == 0)) {
      return path + ": writable by other users: Locals.xml is not kept there";
    }
    if (own && st.st_uid != 0 && st.st_uid != ::geteuid()) {
      return path + ": owned by another user: Locals.xml is not kept there";
    }
    if (path == "/") return {};
    path = platform::DirectoryOf(path);
  }
}

int Main(int argc, char** argv) {
  Arguments arguments;
  if (!Parse(argc, argv, arguments)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (arguments.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  // Outside a service manager and without --console there is nobody to
  // serve for: end at once, quietly.
  if (!arguments.console && !platform::UnderServiceManager()) return 0;

  gid_t socket_group = platform::GroupId(kDefaultSocketGroup, platform::kKeepGroup);
  if (!arguments.socket_group.empty()) {
    socket_group = platform::GroupId(arguments.socket_group.c_str(), platform::kKeepGroup);
    if (socket_group == platform::kKeepGroup) {
      platform::ConsoleLog(platform::ConsolePriority::kError,
                           "quensaria: no group \"%s\" on this machine (--socket-group)\n",
                           arguments.socket_group.c_str());
      return 2;
    }
  }

  Result<std::unique_ptr<platform::StopSignals>> signals = platform::StopSignals::Install();
  if (!signals.ok()) {
    platform::ConsoleLog(platform::ConsolePriority::kError, "quensaria: no stop control: %s\n",
                         signals.status().message().c_str());
    return 1;
  }
  const bool state_given = !arguments.state_directory.empty();
  if (!state_given) arguments.state_directory = DefaultStateDirectory();
  if (state_given) {
    // Locals.xml holds password digests: no way in for others.
    Status made = platform::MakeDirectories(arguments.state_directory, 0750);
    if (!made.ok())
      platform::ConsoleLog(platform::ConsolePriority::kError, "quensaria: %s\n",
                           made.message().c_str());
  }
  const std::string why_not = WhyNotStateDirectory(arguments.state_directory);
  if (!why_not.empty()) {
    platform::ConsoleLog(platform::ConsolePriority::kError, "quensaria: %s\n", why_not.c_str());
    return 1;
  }

  source::SetCephSettings(arguments.ceph);
  ServiceHost host({arguments.state_directory, arguments.runtime_directory, socket_group},
                   engine::CreateConnectionEngine);
  if (arguments.console) {
    platform::ConsolePrintf(
        "Quensaria service running: state %s, management %s/%s/%s; Ctrl-C stops it.\n",
        arguments.state_directory.c_str(), arguments.runtime_directory.c_str(),
        kLocalProtocolDirectory, kManagementEndpoint);
  }
  std::thread stopper([&] {
    (*signals)->Wait();
    host.Stop();
  });
  host.Run();  // returns once stopped, or early when management could not start
  stopper.join();
  return 0;
}

}  // namespace
}  // namespace quensaria::host

int main(int argc, char** argv) {
  try {
    return quensaria::host::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quensaria: %s\n", e.what());
    return 1;
  }
}
