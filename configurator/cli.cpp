#include "configurator/cli.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "configurator/management_client.h"
#include "platform/file.h"
#include "shared/block_protocol.h"
#include "shared/password_digest.h"
#include "shared/win32_error.h"

namespace quensaria::configurator {
namespace {

constexpr char kUsage[] =
    "usage: ludrane-cli [--runtime-dir DIR] COMMAND [ARGUMENTS]\n"
    "\n"
    "Manages the Quensaria service through its management socket\n"
    "DIR/ncalrpc/quensariasvc (DIR defaults to /run/quensaria).\n"
    "\n"
    "Commands:\n"
    "  status                         tell whether the service answers\n"
    "  list-servers                   list every server (export)\n"
    "  add-server SOURCE [OPTIONS]    create a server, stopped; prints its handle\n"
    "      --port N                   TCP port (default 60000)\n"
    "      --address A.B.C.D|any      listening address to record (default any)\n"
    "      --size SIZE[K|M|G]         disk size (default: the size of SOURCE)\n"
    "      --cache MIB                read cache, 0 to 1024 MiB (default 100)\n"
    "      --password TEXT            log-on password (default empty)\n"
    "      --manage-password TEXT     password that gives full access (default: none)\n"
    "      --no-any-client            do not add the \"Any Address\" client\n"
    "  start-server SERVER            start serving\n"
    "  stop-server SERVER             stop serving\n"
    "  delete-server SERVER           stop (if needed) and delete a server\n"
    "  list-clients SERVER            list static clients, then online clients\n"
    "  add-client SERVER ADDRESS|any [full|virtual|refused]\n"
    "                                 add a static client (default access virtual)\n"
    "  delete-client SERVER CLIENT    delete a static client\n"
    "  set-access SERVER CLIENT full|virtual|refused\n"
    "                                 change the access of a static client\n"
    "  list-online SERVER             list the online clients\n"
    "\n"
    "SERVER and CLIENT are the handles the list commands print.\n"
    "Exit status: 0 success, 1 refused by the service, 2 bad usage,\n"
    "3 service not reachable.\n";

// The system's own messages for these failures.
constexpr char kStartFailed[] =
    "Quensaria Service encounter an error while starting this server, please check ip address and "
    "port is not in use.";
constexpr char kStopFailed[] =
    "Quensaria Service encounter an error while stoping this server, please check ip address and "
    "port is not in use.";
constexpr char kAnyNotFull[] =
    "Only specifically ip address can change access mode to full access, but the \"Any Address\" "
    "can't. ";

constexpr uint16_t kDefaultPort = 60000;
constexpr int32_t kDefaultCache = 100;
constexpr int32_t kMaxCache = 1024;

// A usage error: message for standard error, exit status 2.
struct UsageError {
  std::string message;
};

class Cli {
 public:
  Cli(ManagementClient& client, std::ostream& out, std::ostream& err)
      : client_(client), out_(out), err_(err) {}

  int Run(const std::string& command, const std::vector<std::string>& args);

 private:
  int Status();
  int ListServers();
  int AddServer(const std::vector<std::string>& args);
  int StartStop(const std::vector<std::string>& args, bool start);
  int DeleteServer(const std::vector<std::string>& args);
  int ListClients(const std::vector<std::string>& args, bool static_too);
  int AddClient(const std::vector<std::string>& args);
  int DeleteClient(const std::vector<std::string>& args);
  int SetAccess(const std::vector<std::string>& args);

  // Whether `result` is a runtime failure (reported here) rather than the
  // operation's own 0 or -1.
  bool Unreachable(int32_t result);
  int Refused(const std::string& message) {
    err_ << "ludrane-cli: " << message << "\n";
    return kExitRefused;
  }
  // Whether `client` is in the static list of `server`; runtime failures
  // are reported and come back as nullopt.
  std::optional<bool> IsStaticClientOf(Handle server, Handle client);

  ManagementClient& client_;
  std::ostream& out_;
  std::ostream& err_;
  int32_t runtime_status_ = 0;
};

void Expect(const std::vector<std::string>& args, size_t low, size_t high, const char* form) {
  if (args.size() < low || args.size() > high) throw UsageError{std::string("usage: ludrane-cli ") + form};
}

std::optional<uint64_t> ParseUnsigned(const std::string& text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

Handle ParseHandle(const std::string& text, const char* what) {
  const std::optional<uint64_t> value = ParseUnsigned(text);
  if (!value || *value == 0 || *value > UINT32_MAX) {
    throw UsageError{std::string("not a ") + what + " handle: " + text};
  }
  return static_cast<Handle>(*value);
}

uint8_t ParseAccess(const std::string& text) {
  if (text == "full") return ACCESS_FULL;
  if (text == "virtual") return ACCESS_VIRTUAL_WRITE;
  if (text == "refused") return ACCESS_REFUSED;
  throw UsageError{"access must be full, virtual or refused, not " + text};
}

uint32_t ParseAddress(const std::string& text) {
  if (text == "any") return 0;
  in_addr address{};
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
    throw UsageError{"not an IPv4 address: " + text};
  }
  return address.s_addr;
}

int64_t ParseSize(const std::string& text) {
  std::string digits = text;
  int shift = 0;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'K': case 'k': shift = 10; break;
      case 'M': case 'm': shift = 20; break;
      case 'G': case 'g': shift = 30; break;
      default: break;
    }
    if (shift != 0) digits.pop_back();
  }
  const std::optional<uint64_t> value = ParseUnsigned(digits);
  if (!value || *value > (uint64_t{INT64_MAX} >> shift)) throw UsageError{"not a size: " + text};
  return static_cast<int64_t>(*value << shift);
}

// Bytes in the image file or block device at `path`.
Result<uint64_t> SourceSize(const std::string& path) {
  Result<platform::FileInfo> info = platform::StatPath(path);
  if (!info.ok()) return info.status();
  if (info->type == platform::FileType::kOther) {
    return Status(ERROR_INVALID_PARAMETER, "neither a file nor a block device");
  }
  bool direct = false;
  Result<platform::UniqueFd> fd = platform::OpenUnbuffered(path, direct);
  if (!fd.ok()) return fd.status();
  return platform::SizeOf(fd->get());
}

std::string AddressText(uint32_t address) {
  char text[INET_ADDRSTRLEN] = "?";
  in_addr in{};
  in.s_addr = address;
  inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

const char* AccessWord(uint8_t access) {
  switch (access) {
    case ACCESS_FULL: return "full";
    case ACCESS_VIRTUAL_WRITE: return "virtual";
    default: return "refused";
  }
}

const char* StateWord(uint8_t state) {
  switch (state) {
    case kClientStatic: return "static";
    case kClientLoggedOn: return "online";
    default: return "refused";
  }
}

std::string NameText(const ClientEntry& entry) {
  if (entry.address == 0) return "(any address)";
  switch (entry.nameState) {
    case kNameKnown: return std::string(entry.hostName, strnlen(entry.hostName, sizeof entry.hostName));
    case kNameUnknown: return "(resolving)";
    default: return "(cannot resolve)";
  }
}

std::string Column(std::string text, size_t width) {
  text.resize(std::max(width, text.size() + 1), ' ');
  return text;
}

bool Cli::Unreachable(int32_t result) {
  if (result == 0 || result == -1) return false;
  runtime_status_ = result;
  err_ << "ludrane-cli: the Quensaria service does not answer at " << client_.endpoint() << ": "
       << client_.last_runtime_error() << " (RPC status " << result << ")\n";
  return true;
}

int Cli::Run(const std::string& command, const std::vector<std::string>& args) {
  if (command == "status") {
    Expect(args, 0, 0, "status");
    return Status();
  }
  if (command == "list-servers") {
    Expect(args, 0, 0, "list-servers");
    return ListServers();
  }
  if (command == "add-server") return AddServer(args);
  if (command == "start-server") return StartStop(args, true);
  if (command == "stop-server") return StartStop(args, false);
  if (command == "delete-server") return DeleteServer(args);
  if (command == "list-clients") return ListClients(args, true);
  if (command == "list-online") return ListClients(args, false);
  if (command == "add-client") return AddClient(args);
  if (command == "delete-client") return DeleteClient(args);
  if (command == "set-access") return SetAccess(args);
  throw UsageError{"unknown command: " + command + " (try --help)"};
}

int Cli::Status() {
  std::string name;
  const int32_t result = client_.GetServiceName(kLastErrorTextSize, name);
  if (Unreachable(result)) return kExitUnreachable;
  if (result != 0) return Refused("the service gave no name");
  out_ << "The Quensaria service (" << name << ") answers at " << client_.endpoint() << "\n";
  return kExitOk;
}

int Cli::ListServers() {
  std::ostringstream table;  // printed only when the whole walk succeeded
  table << Column("SERVER", 12) << Column("STATE", 9) << Column("ADDRESS", 16) << Column("PORT", 7)
       << Column("SIZE", 12) << Column("CACHE", 8) << "SOURCE\n";
  Handle handle = 0;
  for (;;) {
    Handle next = 0;
    const int32_t result = client_.EnumServers(handle, next);
    if (Unreachable(result)) return kExitUnreachable;
    if (next == 0) break;
    ServerConfig config;
    std::memset(&config, 0, sizeof config);
    const int32_t got = client_.GetServer(next, config);
    if (Unreachable(got)) return kExitUnreachable;
    const char* state = got != 0 ? "failed" : config.Started ? "started" : "stopped";
    table << Column(std::to_string(next), 12) << Column(state, 9)
         << Column(AddressText(config.IpAddress), 16) << Column(std::to_string(config.Port), 7)
         << Column(std::to_string(config.SizeBytes / 1024 / 1024) + " M", 12)
         << Column(std::to_string(config.Cache) + " M", 8)
         << std::string(config.Source, strnlen(config.Source, sizeof config.Source)) << "\n";
    handle = next;
  }
  out_ << table.str();
  return kExitOk;
}

int Cli::AddServer(const std::vector<std::string>& args) {
  if (args.empty()) throw UsageError{"usage: ludrane-cli add-server SOURCE [OPTIONS]"};
  ServerConfig config;
  std::memset(&config, 0, sizeof config);
  const std::string& source = args[0];
  if (source.empty() || source.size() >= sizeof config.Source) {
    throw UsageError{"the source path must have 1 to 259 bytes"};
  }
  std::memcpy(config.Source, source.data(), source.size());
  config.Port = kDefaultPort;
  config.Cache = kDefaultCache;
  std::optional<int64_t> size;
  std::string password;
  std::optional<std::string> manage_password;
  bool any_client = true;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError{option + " needs a value"};
      return args[++i];
    };
    if (option == "--port") {
      const std::optional<uint64_t> port = ParseUnsigned(value());
      if (!port || *port == 0 || *port > 65535) throw UsageError{"the port must be 1 to 65535"};
      config.Port = static_cast<uint16_t>(*port);
    } else if (option == "--address") {
      config.IpAddress = ParseAddress(value());
    } else if (option == "--size") {
      size = ParseSize(value());
    } else if (option == "--cache") {
      const std::optional<uint64_t> cache = ParseUnsigned(value());
      if (!cache || *cache > kMaxCache) throw UsageError{"the cache must be 0 to 1024 MiB"};
      config.Cache = static_cast<int32_t>(*cache);
    } else if (option == "--password") {
      password = value();
    } else if (option == "--manage-password") {
      manage_password = value();
    } else if (option == "--no-any-client") {
      any_client = false;
    } else {
      throw UsageError{"unknown option for add-server: " + option};
    }
  }
  if (!size) {
    Result<uint64_t> measured = SourceSize(source);
    if (!measured.ok()) {
      throw UsageError{"cannot tell the size of " + source + " (" + measured.status().message() +
                       "); give --size"};
    }
    size = static_cast<int64_t>(measured.value());
  }
  config.SizeBytes = *size;
  const Sha1Digest login = PasswordDigest(password);
  // Without a management password, ManagePassword repeats the log-on
  // digest: the log-on password is compared first, so no log-on lifts a
  // connection to full access.
  const Sha1Digest manage = manage_password ? PasswordDigest(*manage_password) : login;
  std::memcpy(config.Password, login.data(), login.size());
  std::memcpy(config.ManagePassword, manage.data(), manage.size());

  Handle server = 0;
  const int32_t result = client_.AddServer(config, server);
  if (Unreachable(result)) return kExitUnreachable;
  if (result != 0) return Refused("the service refused to create the server");
  if (any_client) {
    ClientEntry any;
    std::memset(&any, 0, sizeof any);
    any.access = ACCESS_VIRTUAL_WRITE;
    const int32_t added = client_.AddStaticClient(server, any);
    if (Unreachable(added)) return kExitUnreachable;
  }
  out_ << server << "\n";
  return kExitOk;
}

int Cli::StartStop(const std::vector<std::string>& args, bool start) {
  Expect(args, 1, 1, start ? "start-server SERVER" : "stop-server SERVER");
  const Handle server = ParseHandle(args[0], "server");
  ServerConfig config;
  const int32_t got = client_.GetServer(server, config);
  if (Unreachable(got)) return kExitUnreachable;
  if (got != 0) return Refused("no server " + args[0]);
  if ((config.Started != 0) == start) {
    out_ << "server " << server << " is already " << (start ? "started" : "stopped") << "\n";
    return kExitOk;
  }
  const int32_t result = start ? client_.StartServer(server) : client_.StopServer(server);
  if (Unreachable(result)) return kExitUnreachable;
  if (result != 0) return Refused(start ? kStartFailed : kStopFailed);
  return kExitOk;
}

int Cli::DeleteServer(const std::vector<std::string>& args) {
  Expect(args, 1, 1, "delete-server SERVER");
  const Handle server = ParseHandle(args[0], "server");
  ServerConfig config;
  const int32_t got = client_.GetServer(server, config);
  if (Unreachable(got)) return kExitUnreachable;
  if (got != 0) return Refused("no server " + args[0]);
  if (config.Started != 0) {
    const int32_t stopped = client_.StopServer(server);
    if (Unreachable(stopped)) return kExitUnreachable;
    if (stopped != 0) err_ << "ludrane-cli: " << kStopFailed << "\n";  // deleted all the same
  }
  const int32_t result = client_.DeleteServer(server);
  if (Unreachable(result)) return kExitUnreachable;
  return result == 0 ? kExitOk : Refused("the service refused to delete server " + args[0]);
}

int Cli::ListClients(const std::vector<std::string>& args, bool static_too) {
  Expect(args, 1, 1, static_too ? "list-clients SERVER" : "list-online SERVER");
  const Handle server = ParseHandle(args[0], "server");
  ServerConfig config;
  const int32_t got = client_.GetServer(server, config);
  if (Unreachable(got)) return kExitUnreachable;
  if (got != 0) return Refused("no server " + args[0]);
  std::ostringstream table;  // printed only when the whole walk succeeded
  table << Column("CLIENT", 12) << Column("STATUS", 9) << Column("ADDRESS", 16) << Column("ACCESS", 9)
       << "NAME\n";
  using Enum = int32_t (ManagementClient::*)(Handle, Handle, Handle&);
  using Get = int32_t (ManagementClient::*)(Handle, ClientEntry&);
  std::vector<std::pair<Enum, Get>> lists;
  if (static_too) lists.emplace_back(&ManagementClient::EnumStaticClients, &ManagementClient::GetStaticClient);
  lists.emplace_back(&ManagementClient::EnumOnlineClients, &ManagementClient::GetOnlineClient);
  for (const auto& [enumerate, get] : lists) {
    for (Handle client = 0;;) {
      Handle next = 0;
      const int32_t result = (client_.*enumerate)(server, client, next);
      if (Unreachable(result)) return kExitUnreachable;
      if (next == 0 || result != 0) break;
      ClientEntry entry;
      std::memset(&entry, 0, sizeof entry);
      if (Unreachable((client_.*get)(next, entry))) return kExitUnreachable;
      table << Column(std::to_string(next), 12) << Column(StateWord(entry.state), 9)
           << Column(AddressText(entry.address), 16) << Column(AccessWord(entry.access), 9)
           << NameText(entry) << "\n";
      client = next;
    }
  }
  out_ << table.str();
  return kExitOk;
}

int Cli::AddClient(const std::vector<std::string>& args) {
  Expect(args, 2, 3, "add-client SERVER ADDRESS|any [full|virtual|refused]");
  const Handle server = ParseHandle(args[0], "server");
  ClientEntry entry;
  std::memset(&entry, 0, sizeof entry);
  entry.address = ParseAddress(args[1]);
  entry.access = args.size() == 3 ? ParseAccess(args[2]) : ACCESS_VIRTUAL_WRITE;
  if (entry.address == 0 && entry.access == ACCESS_FULL) return Refused(kAnyNotFull);
  const int32_t result = client_.AddStaticClient(server, entry);
  if (Unreachable(result)) return kExitUnreachable;
  if (result == 0) return kExitOk;
  ServerConfig config;
  if (client_.GetServer(server, config) != 0) return Refused("no server " + args[0]);
  std::string text;
  const int32_t fetched = client_.GetLastErrorText(kLastErrorTextSize, text);
  if (Unreachable(fetched)) return kExitUnreachable;
  return Refused(text.empty() ? "the service refused the client" : text);
}

std::optional<bool> Cli::IsStaticClientOf(Handle server, Handle client) {
  for (Handle at = 0;;) {
    Handle next = 0;
    const int32_t result = client_.EnumStaticClients(server, at, next);
    if (Unreachable(result)) return std::nullopt;
    if (result != 0 || next == 0) return false;
    if (next == client) return true;
    at = next;
  }
}

int Cli::DeleteClient(const std::vector<std::string>& args) {
  Expect(args, 2, 2, "delete-client SERVER CLIENT");
  const Handle server = ParseHandle(args[0], "server");
  const Handle client = ParseHandle(args[1], "client");
  const std::optional<bool> owned = IsStaticClientOf(server, client);
  if (!owned) return kExitUnreachable;
  if (!*owned) return Refused("client " + args[1] + " is not a static client of server " + args[0]);
  const int32_t result = client_.DeleteStaticClient(server, client);
  if (Unreachable(result)) return kExitUnreachable;
  return result == 0 ? kExitOk : Refused("the service refused to delete client " + args[1]);
}

int Cli::SetAccess(const std::vector<std::string>& args) {
  Expect(args, 3, 3, "set-access SERVER CLIENT full|virtual|refused");
  const Handle server = ParseHandle(args[0], "server");
  const Handle client = ParseHandle(args[1], "client");
  const uint8_t access = ParseAccess(args[2]);
  const std::optional<bool> owned = IsStaticClientOf(server, client);
  if (!owned) return kExitUnreachable;
  if (!*owned) return Refused("client " + args[1] + " is not a static client of server " + args[0]);
  ClientEntry entry;
  const int32_t got = client_.GetStaticClient(client, entry);
  if (Unreachable(got)) return kExitUnreachable;
  if (got != 0) return Refused("no client " + args[1]);
  if (access == ACCESS_FULL && entry.address == 0) return Refused(kAnyNotFull);
  entry.access = access;  // the record as read, only the access changed
  const int32_t result = client_.ModifyStaticClient(client, entry);
  if (Unreachable(result)) return kExitUnreachable;
  return result == 0 ? kExitOk : Refused("the service refused to change client " + args[1]);
}

}  // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    std::string runtime_directory = kDefaultRuntimeDirectory;
    size_t at = 0;
    for (; at < args.size(); ++at) {
      const std::string& arg = args[at];
      if (arg == "-h" || arg == "--help") {
        out << kUsage;
        return kExitOk;
      }
      if (arg == "--runtime-dir") {
        if (at + 1 >= args.size()) throw UsageError{"--runtime-dir needs a directory"};
        runtime_directory = args[++at];
      } else if (arg.rfind("--runtime-dir=", 0) == 0) {
        runtime_directory = arg.substr(std::strlen("--runtime-dir="));
      } else if (arg.rfind("-", 0) == 0) {
        throw UsageError{"unknown option: " + arg};
      } else {
        break;
      }
    }
    if (at == args.size()) {
      err << kUsage;
      return kExitUsage;
    }
    if (runtime_directory.empty()) throw UsageError{"--runtime-dir needs a directory"};
    ManagementClient client(runtime_directory);
    Cli cli(client, out, err);
    return cli.Run(args[at], std::vector<std::string>(args.begin() + static_cast<long>(at) + 1, args.end()));
  } catch (const UsageError& error) {
    err << "ludrane-cli: " << error.message << "\n";
    return kExitUsage;
  } catch (const std::exception& error) {
    err << "ludrane-cli: " << error.what() << "\n";
    return kExitRefused;
  }
}

}  // namespace quensaria::configurator
