// ludrane-cli, the real program, against the management interface served in
// this process over a temporary runtime directory.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "configurator/client/cli.h"
#include "configurator/client/scripted_server_for_testing.h"
#include "configurator/rules/prometheus_parser_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "service/management/fake_operations_for_testing.h"
#include "service/management/management_server.h"
#include "shared/block_protocol.h"
#include "shared/bytes.h"
#include "shared/dcerpc.h"
#include "shared/management_interface.h"
#include "shared/password_digest.h"
#include "tests/program_for_testing.h"

namespace quensaria {
namespace {

using management::FakeOperations;
using management::ManagementServer;

// The digest that stands for "no password": no log-on matches it.
const Sha1Digest kNoDigest{};

// The service's records, where an online client at `leaving_address`
// leaves as soon as a walk of the online list is handed it, before its
// record can be read, and a server on `leaving_port` is deleted so.
class LeavingOperations : public FakeOperations {
 public:
  std::atomic<uint32_t> leaving_address{0};
  std::atomic<uint16_t> leaving_port{0};
  // A broken service: the static client after `looping_static_after` is the
  // first one again. After 1000 such steps it answers as an unreachable
  // service, so that a walk that never ends on its own still does.
  std::atomic<management::Handle> looping_static_after{0};
  std::atomic<int> looped{0};
  // The service refuses every static client added.
  std::atomic<bool> refuse_static_clients{false};
  // The service fails every call after it refused a static client.
  std::atomic<bool> fail_after_refusal{false};

  // As the service: a started server's engine serves (its figures say
  // running) unless it ended by itself, as `ended_server`'s did; that engine
  // stays until a stop, so a second start is refused.
  std::atomic<management::Handle> ended_server{0};

  int32_t StartServer(management::Handle server) override {
    ServerConfig config{};
    if (FakeOperations::GetServer(server, config) == 0 && config.Started != 0) return -1;
    return FakeOperations::StartServer(server);
  }
  int32_t StopServer(management::Handle server) override {
    const int32_t result = FakeOperations::StopServer(server);
    management::Handle ended = server;
    if (result == 0) ended_server.compare_exchange_strong(ended, 0);
    return result;
  }
  int32_t GetServerStats(management::Handle server, ServerStats& stats) override {
    const int32_t result = FakeOperations::GetServerStats(server, stats);
    ServerConfig config{};
    if (result == 0 && stats.Running == 0 && server != ended_server &&
        FakeOperations::GetServer(server, config) == 0 && config.Started != 0) {
      stats.Running = 1;
    }
    return result;
  }

  int32_t AddStaticClient(management::Handle server, const ClientEntry& client) override {
    const int32_t result =
        refuse_static_clients ? -1 : FakeOperations::AddStaticClient(server, client);
    if (result != 0 && fail_after_refusal) throw_in_calls = true;
    return result;
  }

  int32_t EnumServers(management::Handle server, management::Handle& next) override {
    const int32_t result = FakeOperations::EnumServers(server, next);
    ServerConfig config{};
    if (result == 0 && next != 0 && leaving_port != 0 &&
        FakeOperations::GetServer(next, config) == 0 && config.Port == leaving_port) {
      FakeOperations::DeleteServer(next);
    }
    return result;
  }

  int32_t EnumStaticClients(management::Handle server, management::Handle client,
                            management::Handle& next) override {
    if (looping_static_after == 0 || client != looping_static_after) {
      return FakeOperations::EnumStaticClients(server, client, next);
    }
    next = 0;
    if (++looped > 1000) return static_cast<int32_t>(rpc::RPC_S_SERVER_UNAVAILABLE);
    return FakeOperations::EnumStaticClients(server, 0, next);
  }

  int32_t EnumOnlineClients(management::Handle server, management::Handle client,
                            management::Handle& next) override {
    const int32_t result = FakeOperations::EnumOnlineClients(server, client, next);
    ClientEntry entry{};
    if (result == 0 && next != 0 && leaving_address != 0 &&
        FakeOperations::GetOnlineClient(next, entry) == 0 && entry.address == leaving_address) {
      FakeOperations::DeleteOnlineClient(server, next);
    }
    return result;
  }
};

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class LudraneCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_ + "/disk.img";
    std::ofstream(image_).close();
    std::filesystem::resize_file(image_, 64 << 20);
  }
  void TearDown() override {
    if (server_) server_->Shutdown();
    if (listening_.joinable()) listening_.join();
    server_.reset();
  }
  void StartService(gid_t socket_group = platform::kKeepGroup) {
    server_ = std::make_unique<ManagementServer>(ops_, dir_ + "/run",
                                                 management::ManagementLimits{}, socket_group);
    ASSERT_EQ(server_->UseEndpoint(), 0u);
    server_->RegisterInterface();
    listening_ = std::thread([this] { server_->Listen(); });
  }

  // Runs ludrane-cli with `args` (words split at spaces) against our runtime
  // directory.
  Outcome Cli(const std::string& args) {
    std::vector<std::string> argv = {LUDRANE_CLI, "--runtime-dir", dir_ + "/run"};
    std::istringstream words(args);
    for (std::string word; words >> word;) argv.push_back(word);
    const testing::ProgramResult result = testing::RunProgram(argv, std::chrono::seconds(60));
    return {result.exit_code, result.out, result.err};
  }
  // Adds a server and returns its handle as text; each on a port of its
  // own unless `options` names one, as two exports cannot share a port.
  std::string AddServer(const std::string& options = "") {
    const std::string port = options.find("--port") == std::string::npos
                                 ? " --port " + std::to_string(next_port_++)
                                 : "";
    Outcome added = Cli("add-server " + image_ + " " + options + port);
    EXPECT_EQ(added.status, 0) << added.err;
    while (!added.out.empty() && added.out.back() == '\n') added.out.pop_back();
    return added.out;
  }
  ServerConfig Config(const std::string& handle) {
    ServerConfig config{};
    EXPECT_EQ(ops_.GetServer(static_cast<management::Handle>(std::stoul(handle)), config), 0);
    return config;
  }
  // The JSON text in `json` as a real parser reads it (python3's json):
  // "path.to.member" → its value as JSON text; empty when it is no JSON.
  std::map<std::string, std::string> ParsedJson(const std::string& json) {
    const std::string path = dir_ + "/answer.json";
    std::ofstream(path) << json;
    const testing::ProgramResult parsed = testing::RunProgram(
        {"/usr/bin/python3", "-c",
         "import json, sys\n"
         "def walk(at, v):\n"
         "  items = v.items() if isinstance(v, dict) else enumerate(v) if isinstance(v, list) "
         "else None\n"
         "  if items is None: print(at + '=' + json.dumps(v)); return\n"
         "  for k, x in items: walk(at + ('.' if at else '') + str(k), x)\n"
         "walk('', json.load(open(sys.argv[1], encoding='utf-8')))\n",
         path});
    EXPECT_EQ(parsed.exit_code, 0) << parsed.err << json;
    std::map<std::string, std::string> members;
    for (const std::string& line : testing::Lines(parsed.out)) {
      const size_t eq = line.find('=');
      members[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return members;
  }
  ServerStats BusyStats() {
    ServerStats stats{};
    stats.Running = 1;
    stats.StartedAt = 1'700'000'123;
    stats.OnlineClients = 2;
    stats.Connections = 3;
    stats.Reads = 120;
    stats.Writes = 30;
    stats.OtherRequests = 4;
    stats.BytesRead = 120 * 65536;
    stats.BytesWritten = 30 * 4096;
    stats.Errors = 2;
    stats.RefusedConnections = 1;
    stats.LatencySumMicros = 31'000;
    stats.RecentRequests = 150;
    stats.LatencyP50Micros = 180;
    stats.LatencyP99Micros = 2300;
    stats.CacheHits = 90;
    stats.CacheFills = 3;
    return stats;
  }
  // The handle of the first static client of `server`.
  std::string FirstClient(const std::string& server) {
    management::Handle next = 0;
    ops_.EnumStaticClients(static_cast<management::Handle>(std::stoul(server)), 0, next);
    return std::to_string(next);
  }

  testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.path().string();
  std::string image_;
  int next_port_ = 60300;
  LeavingOperations ops_;
  std::unique_ptr<ManagementServer> server_;
  std::thread listening_;
};

TEST_F(LudraneCliTest, UsageErrorsExitWithTwo) {
  StartService();
  const struct {
    const char* args;
    const char* message;
  } rows[] = {
      {"", "usage: ludrane-cli"},
      {"frobnicate", "unknown command: frobnicate"},
      {"--bogus status", "unknown option: --bogus"},
      {"start-server", "usage: ludrane-cli start-server SERVER"},
      {"start-server abc", "not a server handle: abc"},
      {"start-server 0", "not a server handle: 0"},
      {"add-client 5 300.1.1.1", "not an IPv4 address: 300.1.1.1"},
      {"add-client 5 any writable", "access must be full, virtual or refused"},
      {"add-server /x --size 12Q", "not a size: 12Q"},
      {"add-server /x --size 1G --port 70000", "the port must be 1 to 65535"},
      {"add-server /x --size 1G --cache 1025", "the cache must be 0 to 1024 MiB"},
      {"add-server /x --size 1G --port", "--port needs a value"},
  };
  for (const auto& row : rows) {
    const Outcome outcome = Cli(row.args);
    EXPECT_EQ(outcome.status, 2) << row.args;
    EXPECT_NE(outcome.err.find(row.message), std::string::npos) << row.args << ": " << outcome.err;
  }
  EXPECT_EQ(ops_.calls, 0);  // nothing reached the service
  // Help wherever it is asked for: standard output, exit status 0.
  for (const char* args : {"--help", "-h", "add-server --help", "add-server /x --size 1G -h",
                           "set-access 1 2 --help"}) {
    const Outcome help = Cli(args);
    EXPECT_EQ(help.status, 0) << args;
    EXPECT_NE(help.out.find("--password-file FILE"), std::string::npos) << args;
    EXPECT_EQ(help.err, "") << args;
  }
  // A value that reads like --help is a value: the command goes on to its
  // source, which is not there (exit 1, as with --size), and the service
  // is not asked.
  const Outcome value = Cli("add-server /no/such/file --password --help");
  EXPECT_EQ(value.status, 1);
  EXPECT_NE(value.err.find("The source /no/such/file does not exist"), std::string::npos)
      << value.err;
  const Outcome folder = Cli("add-server " + dir_);
  EXPECT_EQ(folder.status, 1);
  EXPECT_NE(folder.err.find("is neither a file nor a block device"), std::string::npos)
      << folder.err;
  EXPECT_EQ(ops_.calls, 0);
}

TEST_F(LudraneCliTest, AnAbsentServiceExitsWithThree) {
  const Outcome outcome = Cli("list-servers");
  EXPECT_EQ(outcome.status, 3);
  EXPECT_NE(outcome.err.find("the Quensaria service does not answer at " + dir_ +
                             "/run/ncalrpc/quensariasvc"),
            std::string::npos)
      << outcome.err;
  EXPECT_NE(outcome.err.find("RPC status 1722"), std::string::npos) << outcome.err;
}

// The socket's group decides who may manage: a member gets the answer,
// anyone else is told that the service runs and which group may.
TEST_F(LudraneCliTest, OnlyTheSocketGroupMayManage) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run ludrane-cli as other users";
  if (!testing::ProgramExists("setpriv")) GTEST_SKIP() << "needs setpriv (util-linux)";
  const gid_t nogroup = 65534;
  StartService(nogroup);
  // The program and the runtime directory where uid 65534 can reach them.
  std::filesystem::permissions(dir_, std::filesystem::perms(0755));
  const std::string cli = dir_ + "/ludrane-cli";
  std::filesystem::copy_file(LUDRANE_CLI, cli);
  const auto status_as = [&](gid_t gid) {
    const testing::ProgramResult result =
        testing::RunProgram({"setpriv", "--reuid=65534", "--regid=" + std::to_string(gid),
                             "--clear-groups", cli, "--runtime-dir", dir_ + "/run", "status"},
                            std::chrono::seconds(60));
    return Outcome{result.exit_code, result.out, result.err};
  };

  const Outcome member = status_as(nogroup);
  EXPECT_EQ(member.status, 0) << member.err;
  EXPECT_NE(member.out.find("answers at"), std::string::npos) << member.out;

  const Outcome stranger = status_as(12345);
  EXPECT_EQ(stranger.status, 3);
  EXPECT_NE(
      stranger.err.find("the Quensaria service runs, but this user may not manage it: only root "
                        "and members of the group \"nogroup\" may"),
      std::string::npos)
      << stranger.err;
  EXPECT_EQ(stranger.err.find("does not answer"), std::string::npos) << stranger.err;
}

TEST_F(LudraneCliTest, StatusNamesTheService) {
  StartService();
  const Outcome outcome = Cli("status");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("Velmoran Server"), std::string::npos) << outcome.out;
}

TEST_F(LudraneCliTest, AddServerTakesSizeFromTheSourceAndAddsTheAnyClient) {
  StartService();
  const std::string server = AddServer("--port 60123 --cache 64 --password secret");
  const ServerConfig config = Config(server);
  EXPECT_STREQ(config.Source, image_.c_str());
  EXPECT_EQ(config.Port, 60123);
  EXPECT_EQ(config.SizeBytes, 64 << 20);
  EXPECT_EQ(config.Cache, 64);
  EXPECT_EQ(config.IpAddress, 0u);
  const Sha1Digest secret = PasswordDigest("secret");
  EXPECT_EQ(0, std::memcmp(config.Password, secret.data(), 20));
  // No management password given: the all-zero digest, which no log-on
  // matches.
  EXPECT_EQ(0, std::memcmp(config.ManagePassword, kNoDigest.data(), 20));

  const Outcome servers = Cli("list-servers");
  EXPECT_EQ(servers.status, 0);
  EXPECT_NE(servers.out.find(server + " "), std::string::npos) << servers.out;
  EXPECT_NE(servers.out.find("stopped"), std::string::npos) << servers.out;
  EXPECT_NE(servers.out.find("64 M"), std::string::npos) << servers.out;
  EXPECT_NE(servers.out.find(image_), std::string::npos) << servers.out;

  const Outcome clients = Cli("list-clients " + server);
  EXPECT_EQ(clients.status, 0);
  EXPECT_NE(clients.out.find("static   0.0.0.0"), std::string::npos) << clients.out;
  EXPECT_NE(clients.out.find("virtual  (any address)"), std::string::npos) << clients.out;
}

// The server is made, but without the client that lets anyone log on: the
// command says so and fails, and still names the server it made.
TEST_F(LudraneCliTest, AnAnyAddressClientRefusedFailsTheAddition) {
  StartService();
  ops_.refuse_static_clients = true;
  Outcome added = Cli("add-server " + image_ + " --port 60131");
  EXPECT_EQ(added.status, 1) << added.err;
  while (!added.out.empty() && added.out.back() == '\n') added.out.pop_back();
  ASSERT_FALSE(added.out.empty());
  EXPECT_EQ(Config(added.out).Port, 60131);
  EXPECT_NE(added.err.find("the service refused the \"Any Address\" client of server " + added.out),
            std::string::npos)
      << added.err;
  EXPECT_EQ(FirstClient(added.out), "0");

  // Without it there is nothing to refuse.
  EXPECT_EQ(Cli("add-server " + image_ + " --port 60132 --no-any-client").status, 0);
}

TEST_F(LudraneCliTest, AddServerOptions) {
  StartService();
  const std::string server =
      AddServer("--size 2G --address 127.0.0.5 --manage-password boss --no-any-client");
  const ServerConfig config = Config(server);
  EXPECT_EQ(config.SizeBytes, int64_t{2} << 30);
  EXPECT_EQ(config.IpAddress, 0x0500007Fu);
  EXPECT_EQ(0, std::memcmp(config.ManagePassword, PasswordDigest("boss").data(), 20));
  EXPECT_EQ(0, std::memcmp(config.Password, PasswordDigest("").data(), 20));
  EXPECT_EQ(FirstClient(server), "0");
  const Outcome too_long = Cli("add-server /" + std::string(300, 'p') + " --size 1M");
  EXPECT_EQ(too_long.status, 2);
  EXPECT_NE(too_long.err.find("1 to 259 bytes"), std::string::npos);
}

// What could never start is not created: a missing source (an RBD image
// is the service's to find), or a port that another export listens on.
TEST_F(LudraneCliTest, AddServerRefusesAMissingSourceAndATakenPort) {
  StartService();
  const Outcome missing = Cli("add-server " + dir_ + "/gone.img --size 1G --port 60200");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("The source " + dir_ + "/gone.img does not exist"), std::string::npos)
      << missing.err;

  AddServer("--port 60200 --address 127.0.0.1");
  const Outcome taken = Cli("add-server " + image_ + " --port 60200");
  EXPECT_EQ(taken.status, 1);
  EXPECT_NE(taken.err.find("Port 60200 is already used by the export 127.0.0.1:60200"),
            std::string::npos)
      << taken.err;
  AddServer("--port 60200 --address 127.0.0.2");  // another address: no overlap
  AddServer("--port 60201");
  const Outcome rbd = Cli("add-server rbd:rbd/golden --port 60202");
  EXPECT_EQ(rbd.status, 0) << rbd.err;
  int servers = 0;
  for (const std::string& line : testing::Lines(Cli("list-servers").out)) {
    servers += line.find("stopped") != std::string::npos;
  }
  EXPECT_EQ(servers, 4);
}

// A size given leaves the source unmeasured, but a pipe or a character
// device is still no disk: the service would serve it as an empty one.
TEST_F(LudraneCliTest, AddServerWithASizeRefusesAPipeAndACharacterDevice) {
  StartService();
  const std::string pipe = dir_ + "/pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  for (const std::string& source : {pipe, std::string("/dev/null")}) {
    const Outcome added = Cli("add-server " + source + " --size 1G --port 60210");
    EXPECT_EQ(added.status, 1) << source << ": " << added.out;
    EXPECT_NE(added.err.find("The source " + source + " is neither a file nor a block device"),
              std::string::npos)
        << added.err;
  }
  EXPECT_EQ(Cli("list-servers").out.find("60210"), std::string::npos);
}

// A relative source names a file from where ludrane-cli runs; the service,
// whose working directory is another, is sent the whole path.
TEST_F(LudraneCliTest, ARelativeSourceIsSentAsTheWholePath) {
  StartService();
  const auto add_from_dir = [&](const std::string& args) {
    testing::ProgramResult added = testing::RunProgram(
        {"/bin/sh", "-c", "cd \"$1\" && exec \"$2\" --runtime-dir \"$1/run\" add-server $3", "sh",
         dir_, LUDRANE_CLI, args});
    EXPECT_EQ(added.exit_code, 0) << added.err;
    while (!added.out.empty() && added.out.back() == '\n') added.out.pop_back();
    return Config(added.out);
  };
  const ServerConfig file = add_from_dir("disk.img --port 60051");
  EXPECT_STREQ(file.Source, image_.c_str());
  EXPECT_EQ(file.SizeBytes, 64 << 20);
  // An RBD image is no path.
  EXPECT_STREQ(add_from_dir("rbd:rbd/golden --port 60052").Source, "rbd:rbd/golden");
}

// Passwords kept off the command line: from files, standard input, or a
// terminal without echo.
TEST_F(LudraneCliTest, PasswordsFromFilesAndStandardInput) {
  StartService();
  const auto put = [&](const std::string& name, const std::string& data) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << data;
    return path;
  };
  std::string server = AddServer("--size 1M --password-file " + put("login", "open sesame\n") +
                                 " --manage-password-file " + put("manage", "boss\r\n"));
  ServerConfig config = Config(server);
  EXPECT_EQ(0, std::memcmp(config.Password, PasswordDigest("open sesame").data(), 20));
  EXPECT_EQ(0, std::memcmp(config.ManagePassword, PasswordDigest("boss").data(), 20));

  // An empty management password is none: every client without a password
  // sends the empty password's digest.
  server = AddServer("--size 1M --password-file " + put("empty", "") + " --manage-password-file " +
                     put("empty2", "\n"));
  config = Config(server);
  EXPECT_EQ(0, std::memcmp(config.Password, PasswordDigest("").data(), 20));
  EXPECT_EQ(0, std::memcmp(config.ManagePassword, kNoDigest.data(), 20));

  // Two "-" read two lines of standard input, log-on first.
  const testing::ProgramResult piped = testing::RunProgram(
      {"sh", "-c",
       "printf 'first\\nsecond\\n' | \"$0\" --runtime-dir \"$1\" add-server \"$2\" "
       "--manage-password-file - --password-file - --port 60399",
       LUDRANE_CLI, dir_ + "/run", image_},
      std::chrono::seconds(60));
  ASSERT_EQ(piped.exit_code, 0) << piped.err;
  config = Config(piped.out.substr(0, piped.out.find('\n')));
  EXPECT_EQ(0, std::memcmp(config.Password, PasswordDigest("first").data(), 20));
  EXPECT_EQ(0, std::memcmp(config.ManagePassword, PasswordDigest("second").data(), 20));

  const int calls = ops_.calls;
  const struct {
    const char* args;
    const char* message;
  } refused[] = {
      {"--password a --password-file /dev/null", "give one of --password and --password-file"},
      {"--manage-password-file /no/such/file", "--manage-password-file open /no/such/file"},
      {"--password-file", "--password-file needs a value"},
  };
  for (const auto& row : refused) {
    const Outcome outcome = Cli("add-server " + image_ + " --size 1M " + row.args);
    EXPECT_EQ(outcome.status, 2) << row.args;
    EXPECT_NE(outcome.err.find(row.message), std::string::npos) << row.args << ": " << outcome.err;
  }
  EXPECT_EQ(ops_.calls, calls) << "nothing reached the service";
}

TEST_F(LudraneCliTest, PasswordsTypedAtATerminalAreNotEchoed) {
  StartService();
  const std::vector<std::string> argv = {
      LUDRANE_CLI, "--runtime-dir",   dir_ + "/run", "add-server",
      image_,      "--password-file", "-",           "--manage-password-file",
      "-"};
  const testing::ProgramResult typed = testing::RunOnTerminal(
      argv, {{"Log-on password (empty: none): ", "pass word\n"},
             {"Again: ", "pass word\n"},
             {"Management password, gives full access (empty: none): ", "chief\n"},
             {"Again: ", "chief\n"}});
  ASSERT_EQ(typed.exit_code, 0) << typed.out;
  EXPECT_EQ(typed.out.find("pass word"), std::string::npos) << "echoed: " << typed.out;
  EXPECT_EQ(typed.out.find("chief"), std::string::npos) << "echoed: " << typed.out;
  const std::vector<std::string> lines = testing::Lines(typed.out);
  ASSERT_FALSE(lines.empty());
  const ServerConfig config = Config(lines.back());
  EXPECT_EQ(0, std::memcmp(config.Password, PasswordDigest("pass word").data(), 20));
  EXPECT_EQ(0, std::memcmp(config.ManagePassword, PasswordDigest("chief").data(), 20));

  // A confirmation that differs creates nothing.
  const int calls = ops_.calls;
  const testing::ProgramResult mistyped = testing::RunOnTerminal(
      argv, {{"Log-on password (empty: none): ", "one\n"}, {"Again: ", "two\n"}});
  EXPECT_EQ(mistyped.exit_code, 2) << mistyped.out;
  EXPECT_NE(mistyped.out.find("Password and confirm password is not the same"), std::string::npos)
      << mistyped.out;
  EXPECT_EQ(ops_.calls, calls);
}

// The configurator once gave every export made without opening the
// password half the placeholder's digest; the list says so.
TEST_F(LudraneCliTest, ListServersWarnsOfThePlaceholdersPasswords) {
  StartService();
  const Sha1Digest placeholder = PasswordDigest("5820937164285039");
  const auto add = [&](const Sha1Digest& login, const Sha1Digest& manage, uint16_t port) {
    ServerConfig config{};
    std::strcpy(config.Source, image_.c_str());
    config.Port = port;
    std::memcpy(config.Password, login.data(), 20);
    std::memcpy(config.ManagePassword, manage.data(), 20);
    management::Handle handle = 0;
    EXPECT_EQ(ops_.AddServer(config, handle), 0);
    return std::to_string(handle);
  };
  const std::string both = add(placeholder, placeholder, 60001);
  const std::string login = add(placeholder, PasswordDigest("own"), 60002);
  const std::string manage = add(PasswordDigest(""), placeholder, 60003);
  const std::string own = add(PasswordDigest("own"), kNoDigest, 60004);

  const Outcome listed = Cli("list-servers");
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find(own + " "), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.find("5820937164285039"), std::string::npos) << "the table stays as it was";
  const std::vector<std::string> warnings = testing::Lines(listed.err);
  ASSERT_EQ(warnings.size(), 3u) << listed.err;
  EXPECT_EQ(warnings[0], "ludrane-cli: server " + both +
                             " (port 60001): its log-on and management (full access) passwords "
                             "are the placeholder \"5820937164285039\", which anyone may know; "
                             "delete the server and add it again with passwords of your own");
  EXPECT_NE(warnings[1].find("server " + login + " (port 60002): its log-on password is the"),
            std::string::npos)
      << warnings[1];
  EXPECT_NE(warnings[2].find("server " + manage +
                             " (port 60003): its management (full access) password is the"),
            std::string::npos)
      << warnings[2];
}

TEST_F(LudraneCliTest, StartStopAndTheirFailures) {
  StartService();
  const std::string server = AddServer();
  EXPECT_EQ(Cli("start-server " + server).status, 0);
  EXPECT_EQ(Config(server).Started, 1);
  const Outcome again = Cli("start-server " + server);
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.out.find("already started"), std::string::npos);
  EXPECT_EQ(Cli("stop-server " + server).status, 0);
  EXPECT_EQ(Config(server).Started, 0);

  ops_.fail_starts = true;
  const Outcome failed = Cli("start-server " + server);
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("Quensaria Service encounter an error while starting this server"),
            std::string::npos)
      << failed.err;
  const Outcome unknown = Cli("stop-server 999999");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("no server 999999"), std::string::npos);
}

// The service says only that a start failed; what this machine shows of
// the cause is said instead of the generic refusal: the program holding
// the port, or the source gone.
TEST_F(LudraneCliTest, AFailedStartNamesTheCauseThisMachineShows) {
  StartService();
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string port = std::to_string(ntohs(address.sin_port));
  const std::string taken = AddServer("--port " + port);

  ops_.fail_starts = true;
  const Outcome failed = Cli("start-server " + taken);
  close(listener);
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.err.rfind("ludrane-cli: Quensaria Service could not start the server 0.0.0.0:" +
                                 port + ": port " + port + " is in use by ",
                             0),
            0u)
      << failed.err;
  EXPECT_NE(failed.err.find("(process " + std::to_string(getpid()) + ")."), std::string::npos)
      << failed.err;

  const std::string image = dir_ + "/gone.img";
  std::ofstream(image).close();
  std::filesystem::resize_file(image, 64 << 20);
  const Outcome added = Cli("add-server " + image + " --port " + std::to_string(next_port_++));
  ASSERT_EQ(added.status, 0) << added.err;
  const std::string gone = added.out.substr(0, added.out.find('\n'));
  std::filesystem::remove(image);
  const Outcome missing = Cli("start-server " + gone);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find(": the source " + image + " does not exist."), std::string::npos)
      << missing.err;
}

TEST_F(LudraneCliTest, StartingAServerWhoseEngineEndedByItselfStartsItAgain) {
  StartService();
  const std::string server = AddServer();
  ASSERT_EQ(Cli("start-server " + server).status, 0);
  ops_.ended_server = static_cast<management::Handle>(std::stoul(server));
  const Outcome restarted = Cli("start-server " + server);
  EXPECT_EQ(restarted.status, 0) << restarted.err;
  EXPECT_EQ(restarted.out.find("already started"), std::string::npos) << restarted.out;
  EXPECT_NE(restarted.out.find("server " + server + " was started but served nobody"),
            std::string::npos)
      << restarted.out;
  EXPECT_EQ(ops_.ended_server, 0u) << "not stopped first";
  EXPECT_EQ(Config(server).Started, 1);
  const Outcome running = Cli("stats " + server + " --json");
  EXPECT_EQ(ParsedJson(running.out)["servers.0.state"], "\"started\"") << running.out;

  // A start the service refuses after the stop is said, with status 1.
  ops_.ended_server = static_cast<management::Handle>(std::stoul(server));
  ops_.fail_starts = true;
  const Outcome failed = Cli("start-server " + server);
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("Quensaria Service encounter an error while starting this server"),
            std::string::npos)
      << failed.err;
  EXPECT_EQ(Config(server).Started, 0);
}

TEST_F(LudraneCliTest, ClientsAddChangeAndDelete) {
  StartService();
  const std::string server = AddServer("--no-any-client");
  EXPECT_EQ(Cli("add-client " + server + " 10.0.0.7 full").status, 0);
  const Outcome duplicate = Cli("add-client " + server + " 10.0.0.7");
  EXPECT_EQ(duplicate.status, 1);
  EXPECT_NE(duplicate.err.find("A client with same address is already in the static client list"),
            std::string::npos)
      << duplicate.err;
  const std::string client = FirstClient(server);
  EXPECT_EQ(Cli("set-access " + server + " " + client + " refused").status, 0);
  EXPECT_NE(Cli("list-clients " + server).out.find("10.0.0.7        refused"), std::string::npos);

  // The "Any Address" entry never gets full access.
  const Outcome any_full = Cli("add-client " + server + " any full");
  EXPECT_EQ(any_full.status, 1);
  EXPECT_NE(any_full.err.find("Only specifically ip address can change access mode to full access"),
            std::string::npos);
  EXPECT_EQ(Cli("add-client " + server + " any").status, 0);
  management::Handle any = 0;
  ASSERT_EQ(ops_.EnumStaticClients(static_cast<management::Handle>(std::stoul(server)),
                                   static_cast<management::Handle>(std::stoul(client)), any),
            0);
  ASSERT_NE(any, 0u) << "the any entry follows the first client";
  const Outcome set_any_full = Cli("set-access " + server + " " + std::to_string(any) + " full");
  EXPECT_EQ(set_any_full.status, 1);
  EXPECT_NE(
      set_any_full.err.find("Only specifically ip address can change access mode to full access"),
      std::string::npos)
      << set_any_full.err;

  // A client of another server is not touched.
  const std::string other = AddServer("--no-any-client");
  const Outcome wrong_server = Cli("delete-client " + other + " " + client);
  EXPECT_EQ(wrong_server.status, 1);
  EXPECT_NE(wrong_server.err.find("is not a static client of server"), std::string::npos);
  EXPECT_EQ(Cli("delete-client " + server + " " + client).status, 0);
  EXPECT_EQ(Cli("list-clients " + server).out.find("10.0.0.7"), std::string::npos);
}

// A broken service whose static list leads back to its start: the client
// commands look for the client through the list once and end there.
TEST_F(LudraneCliTest, AStaticListThatLeadsBackToItsStartIsWalkedOnce) {
  StartService();
  const std::string server = AddServer();
  ASSERT_EQ(Cli("add-client " + server + " 10.0.0.2").status, 0);
  management::Handle second = 0;
  const std::string first = FirstClient(server);
  ASSERT_EQ(ops_.EnumStaticClients(static_cast<management::Handle>(std::stoul(server)),
                                   static_cast<management::Handle>(std::stoul(first)), second),
            0);
  ASSERT_NE(second, 0u);
  ops_.looping_static_after = second;

  const Outcome deleted = Cli("delete-client " + server + " 999999");
  EXPECT_EQ(deleted.status, 1) << deleted.err;
  EXPECT_NE(deleted.err.find("client 999999 is not a static client of server " + server),
            std::string::npos)
      << deleted.err;
  ops_.looped = 0;
  const Outcome changed = Cli("set-access " + server + " 999999 refused");
  EXPECT_EQ(changed.status, 1) << changed.err;
  EXPECT_NE(changed.err.find("client 999999 is not a static client of server " + server),
            std::string::npos)
      << changed.err;
  ops_.looped = 0;
  const Outcome listed = Cli("list-clients " + server);
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(testing::Lines(listed.out).size(), 3u) << listed.out;
}

// A service that fails after it refused a client is not a server gone: the
// command says the service does not answer, as any other does.
TEST_F(LudraneCliTest, AServiceFailingAfterARefusedClientIsNotAMissingServer) {
  StartService();
  const std::string server = AddServer("--no-any-client");
  ASSERT_EQ(Cli("add-client " + server + " 10.0.0.7").status, 0);
  ops_.fail_after_refusal = true;
  const Outcome refused = Cli("add-client " + server + " 10.0.0.7");
  EXPECT_EQ(refused.status, 3) << refused.err;
  EXPECT_EQ(refused.err.find("no server"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("the Quensaria service does not answer"), std::string::npos)
      << refused.err;
}

// A client's computer name comes from the network (its reverse lookup) and a
// source from whoever made the export: the tables print their control
// characters as "?", so no name can drive the terminal that lists it. JSON
// escapes them instead.
TEST_F(LudraneCliTest, TablesPrintNoControlCharactersOfNamesAndSources) {
  StartService();
  const std::string image = dir_ + "/disk\x1b[8m.img";
  std::ofstream(image).close();
  std::filesystem::resize_file(image, 1 << 20);
  Outcome added = Cli("add-server " + image + " --port 60141");
  ASSERT_EQ(added.status, 0) << added.err;
  while (!added.out.empty() && added.out.back() == '\n') added.out.pop_back();
  ClientEntry online{};
  online.address = 0x0500007F;
  online.access = ACCESS_VIRTUAL_WRITE;
  online.state = kClientLoggedOn;
  online.nameState = kNameKnown;
  std::strcpy(online.hostName,
              "pc\x1b]0;owned\x07\xc2\x9b"
              "2J\x7f.lan");
  ASSERT_EQ(ops_.AddOnlineClient(static_cast<management::Handle>(std::stoul(added.out)), online),
            0);

  const Outcome clients = Cli("list-clients " + added.out);
  EXPECT_EQ(clients.status, 0) << clients.err;
  EXPECT_NE(clients.out.find("pc?]0;owned??2J?.lan\n"), std::string::npos) << clients.out;
  const Outcome servers = Cli("list-servers");
  EXPECT_EQ(servers.status, 0) << servers.err;
  EXPECT_NE(servers.out.find(dir_ + "/disk?[8m.img\n"), std::string::npos) << servers.out;
  for (const std::string& out : {clients.out, servers.out}) {
    EXPECT_EQ(out.find_first_of("\x1b\x07\x7f"), std::string::npos) << out;
    EXPECT_EQ(out.find("\xc2\x9b"), std::string::npos) << out;
  }
  const std::map<std::string, std::string> json =
      ParsedJson(Cli("list-clients " + added.out + " --json").out);
  EXPECT_EQ(json.at("clients.1.name"), "\"pc\\u001b]0;owned\\u0007\\u009b2J\\u007f.lan\"");
}

TEST_F(LudraneCliTest, OnlineClientsAreListedApart) {
  StartService();
  const std::string server = AddServer();
  ClientEntry online{};
  online.address = 0x0100007F;
  online.access = ACCESS_FULL;
  online.state = kClientLoggedOn;
  online.nameState = kNameKnown;
  std::strcpy(online.hostName, "localhost");
  ASSERT_EQ(ops_.AddOnlineClient(static_cast<management::Handle>(std::stoul(server)), online), 0);
  const Outcome list = Cli("list-online " + server);
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("online   127.0.0.1       full     localhost"), std::string::npos)
      << list.out;
  EXPECT_EQ(list.out.find("any address"), std::string::npos) << list.out;
  const Outcome all = Cli("list-clients " + server);
  EXPECT_LT(all.out.find("(any address)"), all.out.find("localhost")) << all.out;
}

// Clients come and go while a list is walked: one gone before its record
// is read is left out (its zeroed record read as a static "Any Address" at
// full access), and the walk goes on past it.
TEST_F(LudraneCliTest, AClientThatLeavesWhileListedIsLeftOutAndTheRestAreListed) {
  StartService();
  const std::string server = AddServer("--no-any-client");
  for (const uint32_t last_octet : {7u, 8u, 9u}) {
    ClientEntry online{};
    online.address = htonl(0x0A000000u | last_octet);
    online.access = ACCESS_VIRTUAL_WRITE;
    online.state = kClientLoggedOn;
    online.nameState = kNameUnknown;
    ASSERT_EQ(ops_.AddOnlineClient(static_cast<management::Handle>(std::stoul(server)), online), 0);
  }
  ops_.leaving_address = htonl(0x0A000008u);
  const Outcome list = Cli("list-online " + server);
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out.find("0.0.0.0"), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find("10.0.0.8"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("online   10.0.0.7 "), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("online   10.0.0.9 "), std::string::npos) << list.out;
  EXPECT_EQ(testing::Lines(list.out).size(), 3u) << list.out;
}

// A server deleted (by another administrator) between the walk's listing
// of it and the reading of its record is a failed row, and the walk goes on
// past it.
TEST_F(LudraneCliTest, AServerDeletedWhileListedLeavesTheRestListed) {
  StartService();
  const std::string first = AddServer("--port 60041");
  const std::string gone = AddServer("--port 60042");
  const std::string last = AddServer("--port 60043");
  ops_.leaving_port = 60042;
  const Outcome list = Cli("list-servers");
  EXPECT_EQ(list.status, 0) << list.err;
  const std::vector<std::string> lines = testing::Lines(list.out);
  ASSERT_EQ(lines.size(), 4u) << list.out;
  EXPECT_EQ(lines[1].rfind(first + " ", 0), 0u) << list.out;
  EXPECT_EQ(lines[2].rfind(gone + " ", 0), 0u) << list.out;
  EXPECT_NE(lines[2].find(" failed "), std::string::npos) << list.out;
  EXPECT_EQ(lines[3].rfind(last + " ", 0), 0u) << list.out;
  EXPECT_NE(lines[3].find(" 60043 "), std::string::npos) << list.out;
}

TEST_F(LudraneCliTest, StatsAsATableAsJsonAndForPrometheus) {
  StartService();
  const std::string busy = AddServer("--port 60010");
  const std::string idle = AddServer("--port 60011");
  ops_.SetStats(static_cast<management::Handle>(std::stoul(busy)), BusyStats());

  const Outcome table = Cli("stats");
  ASSERT_EQ(table.status, 0) << table.err;
  const std::vector<std::string> lines = testing::Lines(table.out);
  ASSERT_EQ(lines.size(), 3u) << table.out;
  EXPECT_EQ(lines[0].rfind("SERVER  STATE    PORT", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind(busy + " ", 0), 0u) << lines[1];
  for (const char* cell : {" started ", " 60010 ", " 120 ", " 7.5 MiB ", " 180 us ", " 2.3 ms "})
    EXPECT_NE(lines[1].find(cell), std::string::npos) << cell << " in " << lines[1];
  EXPECT_NE(lines[2].find(" stopped "), std::string::npos) << lines[2];
  EXPECT_EQ(Cli("stats " + idle).out.find(busy + " "), std::string::npos);

  const Outcome json = Cli("stats --json");
  ASSERT_EQ(json.status, 0) << json.err;
  std::map<std::string, std::string> parsed = ParsedJson(json.out);
  EXPECT_EQ(parsed["servers.0.server"], busy);
  EXPECT_EQ(parsed["servers.0.state"], "\"started\"");
  EXPECT_EQ(parsed["servers.0.source"], "\"" + image_ + "\"");
  EXPECT_EQ(parsed["servers.0.started_at"], "1700000123");
  EXPECT_EQ(parsed["servers.0.reads"], "120");
  EXPECT_EQ(parsed["servers.0.bytes_read"], std::to_string(120 * 65536));
  EXPECT_EQ(parsed["servers.0.errors"], "2");
  EXPECT_EQ(parsed["servers.0.latency_p99_us"], "2300");
  EXPECT_EQ(parsed["servers.0.cache_fills"], "3");
  EXPECT_EQ(parsed["servers.1.state"], "\"stopped\"");
  EXPECT_EQ(parsed["servers.1.started_at"], "null");
  EXPECT_EQ(parsed["servers.1.latency_p50_us"], "null");
  EXPECT_EQ(parsed.count("servers.2.server"), 0u);

  const Outcome prometheus = Cli("stats " + busy + " --prometheus");
  ASSERT_EQ(prometheus.status, 0) << prometheus.err;
  const testing::PromText text = testing::ParsePrometheusText(prometheus.out);
  ASSERT_EQ(text.error, "") << prometheus.out;
  const std::map<std::string, std::string> labels = {{"server", busy}, {"source", image_}};
  EXPECT_EQ(text.Value("quensaria_read_bytes_total", labels), 120.0 * 65536);
  EXPECT_EQ(text.Value("quensaria_online_clients", labels), 2);
  EXPECT_EQ(text.Value("quensaria_request_duration_seconds_count", labels), 154);
  for (const testing::PromSample& sample : text.samples)
    EXPECT_EQ(sample.labels.at("server"), busy);

  // For node_exporter: the file replaced whole, readable by its collector,
  // nothing left beside it.
  const std::string file = dir_ + "/textfile/quensaria.prom";
  std::filesystem::create_directories(dir_ + "/textfile");
  std::ofstream(file) << "stale\n";
  ASSERT_EQ(Cli("stats --prometheus --output " + file).status, 0);
  std::ifstream in(file);
  const std::string written((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(testing::ParsePrometheusText(written).error, "") << written;
  EXPECT_EQ(testing::ParsePrometheusText(written).Value("quensaria_export_up", {{"server", idle}}),
            0);
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ + "/textfile"),
                          std::filesystem::directory_iterator()),
            1);

  const Outcome unknown = Cli("stats 999");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("no server 999"), std::string::npos) << unknown.err;
  EXPECT_EQ(Cli("stats --json --prometheus").status, 2);
  EXPECT_EQ(Cli("stats --output").status, 2);
  EXPECT_EQ(Cli("list-servers --prometheus").status, 2);
  EXPECT_EQ(Cli("stats --output /no/such/dir/x.prom").status, 2);
}

// The file beside --output is named after the process, so anyone who may
// write to the collector's folder can put a link or a second name of another
// file there first. Run in this process, so that the name is known.
TEST_F(LudraneCliTest, OutputWritesNoFileThatANameBesideItLeadsTo) {
  StartService();
  AddServer("--port 60012");
  std::filesystem::create_directories(dir_ + "/textfile");
  const std::string file = dir_ + "/textfile/quensaria.prom";
  const std::string side = file + ".tmp-" + std::to_string(::getpid());
  const struct {
    const char* kind;
    void (*plant)(const std::string& victim, const std::string& name);
  } rows[] = {
      {"symbolic link",
       [](const std::string& victim, const std::string& name) {
         std::filesystem::create_symlink(victim, name);
       }},
      {"hard link",
       [](const std::string& victim, const std::string& name) {
         std::filesystem::create_hard_link(victim, name);
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.kind);
    const std::string victim = dir_ + "/victim";
    std::filesystem::remove(file);
    std::filesystem::remove(victim);
    std::ofstream(victim) << "kept\n";
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    row.plant(victim, side);

    std::ostringstream out, err;
    const std::vector<std::string> args = {"--runtime-dir", dir_ + "/run", "stats",
                                           "--prometheus",  "--output",    file};
    EXPECT_EQ(configurator::RunCli(args, out, err), 0) << err.str();
    std::ifstream in(victim);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "kept\n");
    struct stat st;
    ASSERT_EQ(lstat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << file << " is no file of its own";
    EXPECT_EQ(st.st_nlink, 1u);
    std::ifstream written_in(file);
    const std::string written((std::istreambuf_iterator<char>(written_in)), {});
    EXPECT_EQ(testing::ParsePrometheusText(written).error, "") << written;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(side)));
  }
}

// A list that could not be written (standard output on a full disk) is a
// failure, as an --output file that cannot be written is: a script must not
// take an empty or cut list for the service's.
TEST_F(LudraneCliTest, AStandardOutputThatCannotBeWrittenFailsTheCommand) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  StartService();
  AddServer();
  for (const std::string command : {"list-servers --json", "status", "stats --prometheus"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> argv = {
        "sh", "-c", "exec \"$0\" \"$@\" >/dev/full", LUDRANE_CLI, "--runtime-dir", dir_ + "/run"};
    std::istringstream words(command);
    for (std::string word; words >> word;) argv.push_back(word);
    const testing::ProgramResult r = testing::RunProgram(argv, std::chrono::seconds(60));
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_NE(r.err.find("ludrane-cli: cannot write standard output: No space left on device"),
              std::string::npos)
        << r.err;
  }
  EXPECT_EQ(Cli("list-servers").status, 0);
}

TEST_F(LudraneCliTest, EveryListSpeaksJson) {
  StartService();
  const std::string server = AddServer("--port 60020");
  ASSERT_EQ(Cli("add-client " + server + " 10.0.0.7 full").status, 0);
  ClientEntry online{};
  online.address = 0x0300007F;
  online.access = ACCESS_VIRTUAL_WRITE;
  online.state = kClientLoggedOn;
  online.nameState = kNameKnown;
  std::strcpy(online.hostName, "host \"seven\"");
  ASSERT_EQ(ops_.AddOnlineClient(static_cast<management::Handle>(std::stoul(server)), online), 0);

  std::map<std::string, std::string> servers = ParsedJson(Cli("list-servers --json").out);
  EXPECT_EQ(servers["servers.0.server"], server);
  EXPECT_EQ(servers["servers.0.port"], "60020");
  EXPECT_EQ(servers["servers.0.state"], "\"stopped\"");
  EXPECT_EQ(servers["servers.0.size_bytes"], std::to_string(64 << 20));
  EXPECT_EQ(servers["servers.0.cache_mib"], "100");
  EXPECT_EQ(servers["servers.0.address"], "\"0.0.0.0\"");

  std::map<std::string, std::string> clients =
      ParsedJson(Cli("list-clients " + server + " --json").out);
  EXPECT_EQ(clients["server"], server);
  EXPECT_EQ(clients["clients.0.address"], "\"any\"");
  EXPECT_EQ(clients["clients.0.status"], "\"static\"");
  EXPECT_EQ(clients["clients.0.name"], "null");
  EXPECT_EQ(clients["clients.1.address"], "\"10.0.0.7\"");
  EXPECT_EQ(clients["clients.1.access"], "\"full\"");
  EXPECT_EQ(clients["clients.1.name_state"], "\"resolving\"");
  EXPECT_EQ(clients["clients.2.status"], "\"online\"");
  EXPECT_EQ(clients["clients.2.name"], "\"host \\\"seven\\\"\"");
  EXPECT_EQ(clients.count("clients.3.client"), 0u);

  std::map<std::string, std::string> only =
      ParsedJson(Cli("list-online " + server + " --json").out);
  EXPECT_EQ(only["clients.0.address"], "\"127.0.0.3\"");
  EXPECT_EQ(only["clients.0.access"], "\"virtual\"");
  EXPECT_EQ(only.count("clients.1.client"), 0u);
  EXPECT_EQ(Cli("list-online " + server + " --yaml").status, 2);
}

// A service from before the figures faults their operation as it faults
// any number it does not know: ludrane-cli says what that means.
TEST_F(LudraneCliTest, AnOlderServiceIsToldApartFromAnAbsentOne) {
  std::filesystem::create_directories(dir_ + "/run/ncalrpc");
  configurator::ScriptedServer older(dir_ + "/run/ncalrpc/quensariasvc");
  older.Run([](int fd) {
    configurator::ScriptedServer::AnswerBind(fd);
    for (;;) {
      auto pdu = configurator::ScriptedServer::Read(fd);
      if (!pdu) return;
      rpc::Request request;
      ASSERT_TRUE(rpc::DecodeRequest(*pdu, request));
      const uint32_t call = configurator::ScriptedServer::CallId(*pdu);
      if (!IsManagementOp(request.opnum) || request.opnum >= kManagementOpCount) {
        configurator::ScriptedServer::Send(fd,
                                           rpc::EncodeFault(call, 0, rpc::nca_op_rng_error, true));
        continue;
      }
      const auto op = static_cast<ManagementOp>(request.opnum);
      ManagementReply reply;
      if (op == ManagementOp::EnumServers) {
        reply.value = LoadLe32(request.stub.data()) == 0 ? 0x101 : 0;
      } else if (op == ManagementOp::GetServer) {
        reply.buffer.assign(kRecordBufferSize, 0);
      }
      for (const auto& out : rpc::EncodeResponse(call, 0, EncodeManagementReply(op, reply), 4280))
        configurator::ScriptedServer::Send(fd, out);
    }
  });
  const Outcome outcome = Cli("stats");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.err.find("keeps no live figures (a version from before them)"),
            std::string::npos)
      << outcome.err;
}

TEST_F(LudraneCliTest, DeleteStopsARunningServerFirst) {
  StartService();
  const std::string server = AddServer();
  ASSERT_EQ(Cli("start-server " + server).status, 0);
  EXPECT_EQ(Cli("delete-server " + server).status, 0);
  ServerConfig config{};
  EXPECT_EQ(ops_.GetServer(static_cast<management::Handle>(std::stoul(server)), config), -1);
  EXPECT_EQ(Cli("delete-server " + server).status, 1);
}

}  // namespace
}  // namespace quensaria
