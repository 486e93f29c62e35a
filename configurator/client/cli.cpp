#include "configurator/client/cli.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <unordered_set>

#include "configurator/client/management_client.h"
#include "configurator/rules/configurator_rules.h"
#include "configurator/rules/export_checks.h"
#include "configurator/rules/figures.h"
#include "configurator/rules/json_text.h"
#include "configurator/rules/list_rows.h"
#include "configurator/rules/prometheus_text.h"
#include "platform/password_input.h"
#include "platform/source_file.h"
#include "platform/tcp_table.h"
#include "platform/unix_socket.h"
#include "platform/whole_file.h"
#include "shared/block_protocol.h"
#include "shared/dcerpc.h"
#include "shared/password_digest.h"
#include "shared/rbd_source.h"
#include "shared/utf16.h"
#include "shared/win32_error.h"

namespace quensaria::configurator {
namespace {

constexpr char kUsage[] =
    "usage: ludrane-cli [--runtime-dir DIR] COMMAND [ARGUMENTS]\n"
    "\n"
    "Manages the Quensaria service through its management socket\n"
    "DIR/ncalrpc/quensariasvc.\n"
    "\n"
    "Options:\n"
    "  --runtime-dir DIR              the service's runtime directory (default\n"
    "                                 /run/quensaria; also --runtime-dir=DIR)\n"
    "  -h, --help                     print this help and exit\n"
    "\n"
    "Commands:\n"
    "  status                         tell whether the service answers\n"
    "  list-servers [--json]          list every server (export); warns of servers\n"
    "                                 whose passwords are the old placeholder's\n"
    "  add-server SOURCE [OPTIONS]    create a server, stopped; prints its handle\n"
    "      --port N                   TCP port (default 60000)\n"
    "      --address A.B.C.D|any      listening address to record (default any)\n"
    "      --size SIZE[K|M|G]         disk size to record (default: the size of SOURCE;\n"
    "                                 0 for rbd:POOL/IMAGE[@SNAPSHOT][:ro], which the\n"
    "                                 service measures)\n"
    "      --cache MIB                read cache, 0 to 1024 MiB (default 100)\n"
    "      --password-file FILE       log-on password: the first line of FILE; with\n"
    "                                 FILE -, a line of standard input, asked for\n"
    "                                 without echo on a terminal (default: empty)\n"
    "      --manage-password-file FILE\n"
    "                                 password that gives full access, read the same\n"
    "                                 way (default, or empty: none, no log-on gives\n"
    "                                 full access)\n"
    "      --password TEXT            the log-on password on the command line, for\n"
    "                                 scripts: every user of this machine can read\n"
    "                                 it in the process list, and shell history\n"
    "                                 keeps it\n"
    "      --manage-password TEXT     the management password on the command line,\n"
    "                                 as exposed as --password\n"
    "      --no-any-client            do not add the \"Any Address\" client\n"
    "      --tls                      speak TLS 1.3 with a pre-shared key (the\n"
    "                                 password's digest): encrypted, and the log-on\n"
    "                                 is the handshake; needs clients that do TLS\n"
    "  start-server SERVER            start serving\n"
    "  stop-server SERVER             stop serving\n"
    "  delete-server SERVER           stop (if needed) and delete a server\n"
    "  list-clients SERVER [--json]   list static clients, then online clients\n"
    "  add-client SERVER ADDRESS|any [full|virtual|refused]\n"
    "                                 add a static client (default access virtual)\n"
    "  delete-client SERVER CLIENT    delete a static client\n"
    "  set-access SERVER CLIENT full|virtual|refused\n"
    "                                 change the access of a static client\n"
    "  list-online SERVER [--json]    list the online clients\n"
    "  stats [SERVER] [OPTIONS]       live figures of every server (or one): clients,\n"
    "                                 requests, bytes, errors, latency over the last\n"
    "                                 minute, read-cache hits and fills\n"
    "      --json                     as JSON, for scripts (the list commands too)\n"
    "      --prometheus               in Prometheus' text exposition format\n"
    "      --output FILE              write FILE (replaced whole, mode 0644) instead\n"
    "                                 of standard output, for node_exporter's\n"
    "                                 textfile collector\n"
    "\n"
    "SERVER and CLIENT are the handles the list commands print.\n"
    "Exit status: 0 success, 1 refused by the service, 2 bad usage,\n"
    "3 service not reachable.\n";

// A usage error: message for standard error, exit status 2.
struct UsageError {
  std::string message;
};
// --help after the command: the usage on standard output, exit status 0.
struct HelpRequest {};

bool IsHelp(const std::string& arg) { return arg == "-h" || arg == "--help"; }

// How a command that lists prints: a table, JSON or Prometheus' text, to
// standard output or into a file.
struct OutputForm {
  bool json = false;
  bool prometheus = false;
  std::optional<std::string> file;
};

// Takes the output options out of `args`, leaving the arguments; only
// `stats` knows --prometheus and --output.
OutputForm TakeOutputOptions(const std::string& command, std::vector<std::string>& args) {
  const bool figures = command == "stats";
  OutputForm form;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      form.json = true;
    } else if (figures && arg == "--prometheus") {
      form.prometheus = true;
    } else if (figures && arg == "--output") {
      if (i + 1 >= args.size()) throw UsageError{"--output needs a file"};
      form.file = args[++i];
    } else if (arg.rfind("--", 0) == 0) {
      throw UsageError{"unknown option for " + command + ": " + arg};
    } else {
      rest.push_back(arg);
    }
  }
  if (form.json && form.prometheus) throw UsageError{"give one of --json and --prometheus"};
  if (form.file && form.file->empty()) throw UsageError{"--output needs a file"};
  args = std::move(rest);
  return form;
}

class Cli {
 public:
  Cli(ManagementClient& client, std::ostream& out, std::ostream& err)
      : client_(client), out_(out), err_(err) {}

  int Run(const std::string& command, const std::vector<std::string>& args);

 private:
  int Status();
  int ListServers(const OutputForm& form);
  int AddServer(const std::vector<std::string>& args);
  int StartStop(const std::vector<std::string>& args, bool start);
  int DeleteServer(const std::vector<std::string>& args);
  int ListClients(const std::vector<std::string>& args, bool static_too, const OutputForm& form);
  int Stats(const std::vector<std::string>& args, const OutputForm& form);
  // Prints `text`, or puts it into the form's file; the exit status.
  int Emit(const std::string& text, const OutputForm& form);
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
  if (args.size() < low || args.size() > high)
    throw UsageError{std::string("usage: ludrane-cli ") + form};
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

uint32_t ParseAddressArgument(const std::string& text) {
  if (text == "any") return 0;
  const std::optional<uint32_t> address = ParseAddress(text);
  if (!address) throw UsageError{"not an IPv4 address: " + text};
  return *address;
}

int64_t ParseSize(const std::string& text) {
  std::string digits = text;
  std::optional<SizeUnit> unit;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'K':
      case 'k':
        unit = SizeUnit::kK;
        break;
      case 'M':
      case 'm':
        unit = SizeUnit::kM;
        break;
      case 'G':
      case 'g':
        unit = SizeUnit::kG;
        break;
      default:
        break;
    }
    if (unit) digits.pop_back();
  }
  const std::optional<uint64_t> value = ParseUnsigned(digits);
  if (!value) throw UsageError{"not a size: " + text};
  if (!unit) {
    if (*value > uint64_t{INT64_MAX}) throw UsageError{"not a size: " + text};
    return static_cast<int64_t>(*value);
  }
  const std::optional<int64_t> bytes = SizeInBytes(*value, *unit);
  if (!bytes) throw UsageError{"not a size: " + text};
  return *bytes;
}

// One password of add-server: given as text (--password) or by file
// (--password-file, "-" for standard input), at most one of the two.
class PasswordOption {
 public:
  PasswordOption(const char* text_option, const char* file_option, const char* prompt)
      : text_option_(text_option), file_option_(file_option), prompt_(prompt) {}

  bool Takes(const std::string& option) const {
    return option == text_option_ || option == file_option_;
  }
  void Set(const std::string& option, const std::string& value) {
    if (text_ || file_) {
      throw UsageError{std::string("give one of ") + text_option_ + " and " + file_option_ +
                       ", once"};
    }
    (option == text_option_ ? text_ : file_) = value;
  }

  // The password, nullopt when none was given. Typed at a terminal, it is
  // asked for twice, as the configurator's dialog has a confirmation.
  std::optional<std::string> Read() const {
    if (!file_) return text_;
    const bool asks = platform::AsksOnTerminal(*file_);
    std::string password = ReadFrom(prompt_);
    if (asks && ReadFrom("Again: ") != password) throw UsageError{kPasswordMismatch};
    return password;
  }

 private:
  std::string ReadFrom(const char* prompt) const {
    Result<std::string> password = platform::ReadPassword(*file_, prompt);
    if (!password.ok()) throw UsageError{file_option_ + (" " + password.status().message())};
    return std::move(password).value();
  }

  const char* text_option_;
  const char* file_option_;
  const char* prompt_;
  std::optional<std::string> text_;
  std::optional<std::string> file_;
};

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

const char* AccessWord(uint8_t access) {
  switch (access) {
    case ACCESS_FULL:
      return "full";
    case ACCESS_VIRTUAL_WRITE:
      return "virtual";
    default:
      return "refused";
  }
}

const char* StateWord(uint8_t state) {
  switch (state) {
    case kClientStatic:
      return "static";
    case kClientLoggedOn:
      return "online";
    default:
      return "refused";
  }
}

std::string NameText(const ClientEntry& entry) {
  if (entry.address == 0) return "(any address)";
  switch (entry.nameState) {
    case kNameKnown:
      return TerminalText(
          std::string_view(entry.hostName, strnlen(entry.hostName, sizeof entry.hostName)));
    case kNameUnknown:
      return "(resolving)";
    default:
      return "(cannot resolve)";
  }
}

// "tls" for an export that speaks TLS, else "plain" (also for a mode this
// version does not know: such an export speaks no TLS of ours).
const char* AuthText(const ServerConfig& config) {
  return config.AuthMode == AUTH_MODE_TLS ? "tls" : "plain";
}

// Which of the passwords of `config` are the placeholder's, as the start of
// a sentence; empty when neither is. The configurator once gave the
// placeholder's digest to every export created without opening the
// password half, and the placeholder is the same on every machine.
std::string PlaceholderPasswords(const ServerConfig& config) {
  const Sha1Digest placeholder = PasswordDigest(kPlaceholderPassword);
  const bool login = std::memcmp(config.Password, placeholder.data(), kDigestSize) == 0;
  const bool manage = std::memcmp(config.ManagePassword, placeholder.data(), kDigestSize) == 0;
  if (login && manage) return "its log-on and management (full access) passwords are";
  if (login) return "its log-on password is";
  if (manage) return "its management (full access) password is";
  return "";
}

std::string Column(std::string text, size_t width) {
  text.resize(std::max(width, text.size() + 1), ' ');
  return text;
}

bool Cli::Unreachable(int32_t result) {
  if (result == 0 || result == -1) return false;
  runtime_status_ = result;
  if (static_cast<uint32_t>(result) == rpc::RPC_S_ACCESS_DENIED) {
    const std::string group = platform::FileGroupName(client_.endpoint());
    err_ << "ludrane-cli: the Quensaria service runs, but this user may not manage it: ";
    if (group.empty() || group == "root" || group == "0") {
      err_ << "only root may";
    } else {
      err_ << "only root and members of the group \"" << group << "\" may";
    }
    err_ << " (" << client_.endpoint() << ": " << client_.last_runtime_error() << ")\n";
    return true;
  }
  err_ << "ludrane-cli: the Quensaria service does not answer at " << client_.endpoint() << ": "
       << client_.last_runtime_error() << " (RPC status " << result << ")\n";
  return true;
}

int Cli::Run(const std::string& command, const std::vector<std::string>& args) {
  // add-server reads its own options: a value there may look like --help.
  if (command != "add-server" && std::any_of(args.begin(), args.end(), IsHelp)) {
    throw HelpRequest{};
  }
  if (command == "status") {
    Expect(args, 0, 0, "status");
    return Status();
  }
  if (command == "list-servers" || command == "list-clients" || command == "list-online" ||
      command == "stats") {
    std::vector<std::string> rest = args;
    const OutputForm form = TakeOutputOptions(command, rest);
    if (command == "list-servers") {
      Expect(rest, 0, 0, "list-servers [--json]");
      return ListServers(form);
    }
    if (command == "stats") return Stats(rest, form);
    return ListClients(rest, command == "list-clients", form);
  }
  if (command == "add-server") return AddServer(args);
  if (command == "start-server") return StartStop(args, true);
  if (command == "stop-server") return StartStop(args, false);
  if (command == "delete-server") return DeleteServer(args);
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

int Cli::ListServers(const OutputForm& form) {
  std::ostringstream table;  // printed only when the whole walk succeeded
  table << Column("SERVER", 12) << Column("STATE", 9) << Column("ADDRESS", 16) << Column("PORT", 7)
        << Column("SIZE", 12) << Column("CACHE", 8) << Column("AUTH", 6) << "SOURCE\n";
  int32_t runtime_status = 0;
  const std::vector<ServerRow> rows = ReadServerRows(client_, &runtime_status);
  if (Unreachable(runtime_status)) return kExitUnreachable;
  for (const ServerRow& row : rows) {
    const ServerConfig& config = row.config;
    const char* state = !row.read_ok ? "failed" : row.started() ? "started" : "stopped";
    table << Column(std::to_string(row.handle), 12) << Column(state, 9)
          << Column(AddressText(config.IpAddress), 16) << Column(std::to_string(config.Port), 7)
          << Column(MebibytesText(config.SizeBytes), 12)
          << Column(std::to_string(config.Cache) + " M", 8) << Column(AuthText(config), 6)
          << TerminalText(
                 std::string_view(config.Source, strnlen(config.Source, sizeof config.Source)))
          << "\n";
  }
  if (form.json) {
    JsonWriter json;
    json.BeginObject();
    json.Key("servers");
    json.BeginArray();
    for (const ServerRow& row : rows) {
      const ServerConfig& config = row.config;
      json.BeginObject();
      json.Key("server");
      json.Number(uint64_t{row.handle});
      json.Key("state");
      json.String(!row.read_ok ? "failed" : row.started() ? "started" : "stopped");
      json.Key("address");
      json.String(AddressText(config.IpAddress));
      json.Key("port");
      json.Number(uint64_t{config.Port});
      json.Key("size_bytes");
      json.Number(int64_t{config.SizeBytes});
      json.Key("cache_mib");
      json.Number(int64_t{config.Cache});
      json.Key("auth");
      json.String(AuthText(config));
      json.Key("source");
      json.String(std::string(config.Source, strnlen(config.Source, sizeof config.Source)));
      json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    out_ << json.text();
  } else {
    out_ << table.str();
  }
  for (const ServerRow& row : rows) {
    const std::string tls_warning = TlsWarning(row.config);
    if (row.read_ok && !tls_warning.empty()) {
      err_ << "ludrane-cli: server " << row.handle << " (port " << row.config.Port
           << "): " << tls_warning << "\n";
    }
    const std::string which = PlaceholderPasswords(row.config);
    if (!row.read_ok || which.empty()) continue;
    err_ << "ludrane-cli: server " << row.handle << " (port " << row.config.Port << "): " << which
         << " the placeholder \"" << kPlaceholderPassword
         << "\", which anyone may know; delete the server and add it again with passwords of "
            "your own\n";
  }
  return kExitOk;
}

int Cli::AddServer(const std::vector<std::string>& args) {
  if (!args.empty() && IsHelp(args[0])) throw HelpRequest{};
  if (args.empty()) throw UsageError{"usage: ludrane-cli add-server SOURCE [OPTIONS]"};
  ServerForm form;
  std::error_code no_directory;
  form.source = WholeSourcePath(args[0], std::filesystem::current_path(no_directory).string());
  const std::string& source = form.source;
  if (source.empty() || source.size() >= kSourceCapacity) {
    throw UsageError{"the source path must have 1 to 259 bytes"};
  }
  std::optional<int64_t> size;
  PasswordOption login{"--password", "--password-file", "Log-on password (empty: none): "};
  PasswordOption manage{"--manage-password", "--manage-password-file",
                        "Management password, gives full access (empty: none): "};
  bool any_client = true;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError{option + " needs a value"};
      return args[++i];
    };
    if (IsHelp(option)) {
      throw HelpRequest{};
    } else if (option == "--port") {
      const std::optional<uint64_t> port = ParseUnsigned(value());
      if (!port || *port == 0 || *port > 65535) throw UsageError{"the port must be 1 to 65535"};
      form.port = static_cast<uint16_t>(*port);
    } else if (option == "--address") {
      form.address = ParseAddressArgument(value());
    } else if (option == "--size") {
      size = ParseSize(value());
    } else if (option == "--cache") {
      const std::optional<uint64_t> cache = ParseUnsigned(value());
      if (!cache || *cache > kMaxCache) throw UsageError{"the cache must be 0 to 1024 MiB"};
      form.cache = static_cast<int32_t>(*cache);
    } else if (login.Takes(option)) {
      login.Set(option, value());
    } else if (manage.Takes(option)) {
      manage.Set(option, value());
    } else if (option == "--no-any-client") {
      any_client = false;
    } else if (option == "--tls") {
      form.tls = true;
    } else {
      throw UsageError{"unknown option for add-server: " + option};
    }
  }
  // An RBD image is measured by the service when it opens it: the size
  // recorded here plays no part in what clients see.
  if (!size && IsRbdSource(source)) size = 0;
  if (!size) {
    Result<uint64_t> measured = SourceSize(source);
    if (!measured.ok()) {
      // A source that is not there, or is no disk, could never start: said
      // as with --size, not as bad usage.
      ServerConfig probe{};
      if (source.size() < sizeof probe.Source) {
        std::memcpy(probe.Source, source.data(), source.size());
        if (const std::string refusal = CreateRefusal(probe, {}); !refusal.empty()) {
          return Refused(refusal);
        }
      }
      throw UsageError{"cannot tell the size of " + source + " (" + measured.status().message() +
                       "); give --size"};
    }
    size = static_cast<int64_t>(measured.value());
  }
  // Read in this order, so that two "-" take two lines of standard input.
  const std::string password = login.Read().value_or("");
  const std::optional<std::string> manage_password = manage.Read();
  // The size is given in bytes here; it goes into the built record below.
  form.size = 0;
  form.login = form.login_confirm = password;
  form.manage = form.manage_confirm = manage_password.value_or("");
  form.login_edited = form.manage_edited = true;
  BuiltServer built = BuildServerConfig(form, std::nullopt, std::nullopt);
  if (!built.message.empty()) throw UsageError{built.message};
  ServerConfig& config = built.config;
  config.SizeBytes = *size;
  // No management password, or an empty one (the digest every client
  // without a password sends): the all-zero digest, which no log-on
  // matches, so no log-on lifts a connection to full access.
  if (!manage_password || manage_password->empty()) {
    std::memset(config.ManagePassword, 0, sizeof config.ManagePassword);
  }

  // What the configurator's dialog refuses, refused here too: a server
  // that could never start.
  int32_t listed = 0;
  const std::vector<ServerRow> servers = ReadServerRows(client_, &listed);
  if (Unreachable(listed)) return kExitUnreachable;
  if (const std::string refusal = CreateRefusal(config, servers); !refusal.empty()) {
    return Refused(refusal);
  }

  if (const std::string warning = TlsWarning(config); !warning.empty()) {
    err_ << "ludrane-cli: warning: " << warning << "\n";
  }
  Handle server = 0;
  const int32_t result = client_.AddServer(config, server);
  if (Unreachable(result)) return kExitUnreachable;
  if (result != 0) return Refused("the service refused to create the server");
  // The handle is printed whatever follows: the server exists now.
  out_ << server << "\n";
  if (any_client) {
    const int32_t added = client_.AddStaticClient(server, AnyAddressClient());
    if (Unreachable(added)) return kExitUnreachable;
    if (added != 0) {
      return Refused("the service refused the \"Any Address\" client of server " +
                     std::to_string(server));
    }
  }
  return kExitOk;
}

int Cli::StartStop(const std::vector<std::string>& args, bool start) {
  Expect(args, 1, 1, start ? "start-server SERVER" : "stop-server SERVER");
  const Handle server = ParseHandle(args[0], "server");
  ServerConfig config;
  const int32_t got = client_.GetServer(server, config);
  if (Unreachable(got)) return kExitUnreachable;
  if (got != 0) return Refused("no server " + args[0]);
  bool restart = false;
  if (start && config.Started != 0) {
    // An engine that ended by itself (its listener broke) leaves the server
    // started but serving nobody; the service starts it again only after a
    // stop. A service that keeps no figures is taken at its word.
    ServerStats stats{};
    const int32_t figures = client_.GetServerStats(server, stats);
    if (static_cast<uint32_t>(figures) != rpc::RPC_S_PROCNUM_OUT_OF_RANGE && Unreachable(figures)) {
      return kExitUnreachable;
    }
    restart = figures == 0 && stats.Running == 0;
    if (restart) {
      const int32_t stopped = client_.StopServer(server);
      if (Unreachable(stopped)) return kExitUnreachable;
      if (stopped != 0) return Refused(kStopFailedStatus);
    }
  }
  if ((config.Started != 0) == start && !restart) {
    out_ << "server " << server << " is already " << (start ? "started" : "stopped") << "\n";
    return kExitOk;
  }
  const int32_t result = start ? client_.StartServer(server) : client_.StopServer(server);
  if (Unreachable(result)) return kExitUnreachable;
  if (result != 0 && !start) return Refused(kStopFailedStatus);
  if (result != 0) {
    // The service says only that it failed; what this machine shows of the
    // cause (the source, the port and who holds it) is named, as ludrane
    // names it.
    int32_t runtime_status = 0;
    const std::vector<ServerRow> servers = ReadServerRows(client_, &runtime_status);
    if (Unreachable(runtime_status)) return kExitUnreachable;
    return Refused(StartFailureText(
        config, StartFailureCause(config, server, servers, platform::TcpListenersOn(config.Port))));
  }
  if (restart) out_ << "server " << server << " was started but served nobody; started again\n";
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
    if (stopped != 0) err_ << "ludrane-cli: " << kStopFailedStatus << "\n";  // deleted all the same
  }
  const int32_t result = client_.DeleteServer(server);
  if (Unreachable(result)) return kExitUnreachable;
  return result == 0 ? kExitOk : Refused("the service refused to delete server " + args[0]);
}

int Cli::ListClients(const std::vector<std::string>& args, bool static_too,
                     const OutputForm& form) {
  Expect(args, 1, 1, static_too ? "list-clients SERVER [--json]" : "list-online SERVER [--json]");
  const Handle server = ParseHandle(args[0], "server");
  ServerConfig config;
  const int32_t got = client_.GetServer(server, config);
  if (Unreachable(got)) return kExitUnreachable;
  if (got != 0) return Refused("no server " + args[0]);
  std::ostringstream table;  // printed only when the whole walk succeeded
  table << Column("CLIENT", 12) << Column("STATUS", 9) << Column("ADDRESS", 16)
        << Column("ACCESS", 9) << "NAME\n";
  int32_t runtime_status = 0;
  const std::vector<ClientRow> rows = ReadClientRows(client_, server, &runtime_status, !static_too);
  if (Unreachable(runtime_status)) return kExitUnreachable;
  for (const ClientRow& row : rows) {
    const ClientEntry& entry = row.entry;
    table << Column(std::to_string(row.handle), 12) << Column(StateWord(entry.state), 9)
          << Column(AddressText(entry.address), 16) << Column(AccessWord(entry.access), 9)
          << NameText(entry) << "\n";
  }
  if (!form.json) {
    out_ << table.str();
    return kExitOk;
  }
  JsonWriter json;
  json.BeginObject();
  json.Key("server");
  json.Number(uint64_t{server});
  json.Key("clients");
  json.BeginArray();
  for (const ClientRow& row : rows) {
    const ClientEntry& entry = row.entry;
    json.BeginObject();
    json.Key("client");
    json.Number(uint64_t{row.handle});
    json.Key("status");
    json.String(StateWord(entry.state));
    json.Key("address");
    json.String(entry.address == 0 ? "any" : AddressText(entry.address));
    json.Key("access");
    json.String(AccessWord(entry.access));
    json.Key("name");
    if (entry.address != 0 && entry.nameState == kNameKnown) {
      json.String(std::string(entry.hostName, strnlen(entry.hostName, sizeof entry.hostName)));
    } else {
      json.Null();
    }
    json.Key("name_state");
    json.String(entry.address == 0                ? "any address"
                : entry.nameState == kNameKnown   ? "known"
                : entry.nameState == kNameUnknown ? "resolving"
                                                  : "cannot resolve");
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  out_ << json.text();
  return kExitOk;
}

int Cli::Stats(const std::vector<std::string>& args, const OutputForm& form) {
  Expect(args, 0, 1, "stats [SERVER] [--json|--prometheus] [--output FILE]");
  int32_t runtime_status = 0;
  std::vector<ServerRow> rows;
  if (args.empty()) {
    rows = ReadServerRows(client_, &runtime_status);
  } else {
    const Handle server = ParseHandle(args[0], "server");
    ServerConfig config;
    const int32_t got = client_.GetServer(server, config);
    if (Unreachable(got)) return kExitUnreachable;
    if (got != 0) return Refused("no server " + args[0]);
    rows.push_back(MakeServerRow(server, true, config));
  }
  if (Unreachable(runtime_status)) return kExitUnreachable;
  std::vector<ServerFigures> figures = ReadServerFigures(client_, rows, &runtime_status);
  if (static_cast<uint32_t>(runtime_status) == rpc::RPC_S_PROCNUM_OUT_OF_RANGE) {
    return Refused("the Quensaria service at " + client_.endpoint() +
                   " keeps no live figures (a version from before them)");
  }
  if (Unreachable(runtime_status)) return kExitUnreachable;
  // A server deleted between the two walks is left out.
  std::erase_if(figures, [](const ServerFigures& f) { return !f.read_ok; });
  if (!args.empty() && figures.empty()) return Refused("no server " + args[0]);
  const std::string text = form.prometheus ? PrometheusText(figures)
                           : form.json     ? FiguresJson(figures)
                                           : FiguresTable(figures);
  return Emit(text, form);
}

int Cli::Emit(const std::string& text, const OutputForm& form) {
  if (!form.file) {
    out_ << text;
    return kExitOk;
  }
  // Written beside and renamed over: a reader (node_exporter) never sees
  // half a file.
  const std::string& file = *form.file;
  const std::string side = file + ".tmp-" + std::to_string(::getpid());
  // The name is foreseeable: whatever stands there (a link to another file, a
  // second name of one) goes, and the file is made afresh, never opened.
  quensaria::Status status = platform::RemoveFile(side);
  if (status.ok()) status = platform::CreateFileSynced(side, text, 0644);
  if (status.ok()) status = platform::ReplaceFileSynced(side, file);
  if (status.ok()) return kExitOk;
  static_cast<void>(platform::RemoveFile(side));
  throw UsageError{"cannot write " + file + ": " + status.message()};
}

int Cli::AddClient(const std::vector<std::string>& args) {
  Expect(args, 2, 3, "add-client SERVER ADDRESS|any [full|virtual|refused]");
  const Handle server = ParseHandle(args[0], "server");
  const ClientEntry entry =
      AddressClient(ParseAddressArgument(args[1]),
                    args.size() == 3 ? ParseAccess(args[2]) : ACCESS_VIRTUAL_WRITE);
  if (!AccessChangeAllowed(entry, entry.access)) return Refused(kAnyNotFull);
  const int32_t result = client_.AddStaticClient(server, entry);
  if (Unreachable(result)) return kExitUnreachable;
  if (result == 0) return kExitOk;
  ServerConfig config;
  const int32_t got = client_.GetServer(server, config);
  if (Unreachable(got)) return kExitUnreachable;
  if (got != 0) return Refused("no server " + args[0]);
  std::string text;
  const int32_t fetched = client_.GetLastErrorText(kLastErrorTextSize, text);
  if (Unreachable(fetched)) return kExitUnreachable;
  return Refused(text.empty() ? "the service refused the client" : text);
}

std::optional<bool> Cli::IsStaticClientOf(Handle server, Handle client) {
  // A service that leads back to a client it gave before would never end.
  std::unordered_set<Handle> seen;
  for (Handle at = 0;;) {
    Handle next = 0;
    const int32_t result = client_.EnumStaticClients(server, at, next);
    if (Unreachable(result)) return std::nullopt;
    if (result != 0 || next == 0) return false;
    if (next == client) return true;
    if (!seen.insert(next).second) return false;
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
  if (!AccessChangeAllowed(entry, access)) return Refused(kAnyNotFull);
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
      if (IsHelp(arg)) throw HelpRequest{};
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
    return cli.Run(args[at],
                   std::vector<std::string>(args.begin() + static_cast<long>(at) + 1, args.end()));
  } catch (const HelpRequest&) {
    out << kUsage;
    return kExitOk;
  } catch (const UsageError& error) {
    err << "ludrane-cli: " << error.message << "\n";
    return kExitUsage;
  } catch (const std::exception& error) {
    err << "ludrane-cli: " << error.what() << "\n";
    return kExitRefused;
  }
}

}  // namespace quensaria::configurator
