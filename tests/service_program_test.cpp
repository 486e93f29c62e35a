// The real quensaria program in a temporary state directory, driven through
// its management interface (call wrappers and ludrane-cli) and its block
// protocol: servers and clients added, started, stopped and deleted, a
// client logging on and reading, stops by signal and starts again, and
// Locals.xml checked attribute by attribute.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "configurator/client/management_client.h"
#include "configurator/rules/prometheus_parser_for_testing.h"
#include "platform/eventually_for_testing.h"
#include "platform/listener_for_testing.h"
#include "platform/notify_socket_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "platform/socket.h"
#include "service/store/configuration_store.h"
#include "shared/password_digest.h"
#include "tests/block_client_for_testing.h"
#include "tests/program_for_testing.h"

namespace quensaria {
namespace {

using namespace std::chrono_literals;
using configurator::Handle;
using configurator::ManagementClient;
using testing::BlockClient;
using testing::Program;

constexpr uint64_t kImageSize = 4 << 20;

// The byte the test images hold at `offset`.
uint8_t Pattern(uint64_t offset, uint8_t seed) {
  return static_cast<uint8_t>((offset * 7 + offset / 4096 + seed) & 0xFF);
}

class ServiceProgramTest : public ::testing::Test {
 protected:
  void TearDown() override { service_.reset(); }

  std::string MakeImage(const std::string& name, uint8_t seed) {
    const std::string path = dir_ + "/" + name;
    std::vector<uint8_t> bytes(kImageSize);
    for (uint64_t i = 0; i < kImageSize; ++i) bytes[i] = Pattern(i, seed);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path;
  }
  void StartService(const std::vector<std::string>& extra_env = {}) {
    service_ = std::make_unique<Program>(
        std::vector<std::string>{QUENSARIA_PROGRAM, "--console", "--state-dir", state_,
                                 "--runtime-dir", runtime_},
        dir_ + "/service.log", extra_env);
    ASSERT_TRUE(service_->started());
    client_ = std::make_unique<ManagementClient>(runtime_, 10s);
    std::string name;
    testing::Eventually([&] { return client_->GetServiceName(16, name) == 0; }, 10s, 10ms);
    ASSERT_EQ(name, "Velmoran Server") << service_->Log();
  }
  // SIGTERM (or `signal`) and the exit status.
  int StopService(int signal = SIGTERM) {
    service_->Signal(signal);
    const std::optional<int> status = service_->Wait(30s);
    EXPECT_TRUE(status.has_value()) << "quensaria did not stop";
    return status.value_or(-2);
  }
  ServerConfig Config(const std::string& source, uint16_t port) {
    ServerConfig config;
    std::memset(&config, 0, sizeof config);
    std::strncpy(config.Source, source.c_str(), sizeof config.Source - 1);
    config.Port = port;
    config.SizeBytes = kImageSize;
    config.Cache = 8;
    const Sha1Digest login = PasswordDigest("open sesame");
    const Sha1Digest manage = PasswordDigest("boss");
    std::memcpy(config.Password, login.data(), 20);
    std::memcpy(config.ManagePassword, manage.data(), 20);
    return config;
  }
  // Adds and starts a server on a free port, with the "Any Address" client.
  Handle AddStarted(const std::string& source, uint16_t& port) {
    Handle server = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = testing::FreePort();
      EXPECT_EQ(client_->AddServer(Config(source, port), server), 0);
      ClientEntry any{};
      any.access = ACCESS_VIRTUAL_WRITE;
      EXPECT_EQ(client_->AddStaticClient(server, any), 0);
      if (client_->StartServer(server) == 0) return server;
      client_->DeleteServer(server);  // the port was taken meanwhile: try another
    }
    ADD_FAILURE() << "no server could be started";
    return 0;
  }
  std::string LocalsXml() {
    std::ifstream in(state_ + "/Locals.xml", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Logs on and reads 64 KiB at 1 MiB, comparing with the image pattern.
  void ExpectServes(uint16_t port, uint8_t seed) {
    BlockClient block;
    ASSERT_EQ(block.Connect(port), 0);
    EXPECT_EQ(block.Login("open sesame").reply.status, REPLY_OK);
    QueryData query;
    ASSERT_EQ(block.Query(query).error, 0);
    EXPECT_EQ(query.disk_size, kImageSize);
    EXPECT_EQ(query.access, ACCESS_VIRTUAL_WRITE);  // admitted through "Any Address"
    std::vector<uint8_t> data;
    const testing::Exchange read = block.Read(1 << 20, 65536, data);
    ASSERT_EQ(read.error, 0);
    ASSERT_EQ(read.reply.status, REPLY_OK);
    ASSERT_EQ(data.size(), 65536u);
    for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], Pattern((1 << 20) + i, seed)) << i;
  }

  testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.path().string();
  const std::string state_ = dir_ + "/state";
  const std::string runtime_ = dir_ + "/run";
  std::unique_ptr<Program> service_;
  std::unique_ptr<ManagementClient> client_;
};

TEST_F(ServiceProgramTest, PlainStartOutsideAServiceManagerEndsAtOnce) {
  Program plain({QUENSARIA_PROGRAM, "--state-dir", state_, "--runtime-dir", runtime_},
                dir_ + "/plain.log");
  ASSERT_TRUE(plain.started());
  EXPECT_EQ(plain.Wait(10s), 0);
  EXPECT_EQ(plain.Log(), "");
  EXPECT_FALSE(std::filesystem::exists(runtime_));
}

// --socket-group hands the management socket to a group of the
// administrator's choice; a group the machine lacks is a usage error.
TEST_F(ServiceProgramTest, SocketGroupOptionChoosesWhoMayManage) {
  Program unknown({QUENSARIA_PROGRAM, "--console", "--state-dir", state_, "--runtime-dir", runtime_,
                   "--socket-group", "no-such-group-here"},
                  dir_ + "/unknown.log");
  ASSERT_TRUE(unknown.started());
  EXPECT_EQ(unknown.Wait(10s), 2);
  EXPECT_NE(unknown.Log().find("no group \"no-such-group-here\""), std::string::npos)
      << unknown.Log();

  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the socket to another group";
  service_ = std::make_unique<Program>(
      std::vector<std::string>{QUENSARIA_PROGRAM, "--console", "--state-dir", state_,
                               "--runtime-dir", runtime_, "--socket-group", "nogroup"},
      dir_ + "/service.log");
  ASSERT_TRUE(service_->started());
  client_ = std::make_unique<ManagementClient>(runtime_, 10s);
  std::string name;
  testing::Eventually([&] { return client_->GetServiceName(16, name) == 0; }, 10s, 10ms);
  ASSERT_EQ(name, "Velmoran Server") << service_->Log();
  struct stat st {};
  ASSERT_EQ(::stat((runtime_ + "/ncalrpc/quensariasvc").c_str(), &st), 0);
  EXPECT_EQ(st.st_gid, 65534u) << "group nogroup";
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(StopService(), 0);
}

TEST_F(ServiceProgramTest, ServesAStartedServerAndListsTheClientOnline) {
  const std::string image = MakeImage("disk.img", 1);
  StartService();
  uint16_t port = 0;
  const Handle server = AddStarted(image, port);
  ASSERT_NE(server, 0u);
  ExpectServes(port, 1);

  // The logged-on client is listed online while connected.
  BlockClient block;
  ASSERT_EQ(block.Connect(port, htonl(0x7F000003)), 0);
  EXPECT_EQ(block.Login("boss").reply.status, REPLY_OK);
  QueryData query;
  ASSERT_EQ(block.Query(query).error, 0);
  EXPECT_EQ(query.access, ACCESS_FULL);  // the management password lifts it
  ClientEntry entry{};
  testing::Eventually(
      [&] {
        Handle online = 0;
        for (Handle at = 0; client_->EnumOnlineClients(server, at, online) == 0 && online != 0;
             at = online) {
          if (client_->GetOnlineClient(online, entry) == 0 && entry.address == htonl(0x7F000003)) {
            return true;
          }
        }
        return false;
      },
      30s, 10ms);
  EXPECT_EQ(entry.address, htonl(0x7F000003));
  EXPECT_EQ(entry.state, kClientLoggedOn);

  // A wrong password turns the connection away from the data.
  BlockClient stranger;
  ASSERT_EQ(stranger.Connect(port, htonl(0x7F000004)), 0);
  EXPECT_EQ(stranger.Login("guess").reply.status, REPLY_DENIED);
  std::vector<uint8_t> nothing;
  EXPECT_EQ(stranger.Read(0, 512, nothing).reply.status, REPLY_DENIED);
  EXPECT_TRUE(nothing.empty());

  // Stopped, the port no longer answers; deleted, the server is gone.
  EXPECT_EQ(client_->StopServer(server), 0);
  BlockClient late;
  EXPECT_NE(late.Connect(port), 0);
  EXPECT_EQ(client_->DeleteServer(server), 0);
  Handle first = 0;
  EXPECT_EQ(client_->EnumServers(0, first), 0);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(StopService(), 0);
}

TEST_F(ServiceProgramTest, ServersRunningAtSigtermComeBackAfterARestart) {
  const std::string a = MakeImage("a.img", 2);
  const std::string b = MakeImage("b.img", 3);
  StartService();
  uint16_t port_a = 0, port_b = 0;
  ASSERT_NE(AddStarted(a, port_a), 0u);
  ASSERT_NE(AddStarted(b, port_b), 0u);
  EXPECT_EQ(StopService(SIGTERM), 0);
  EXPECT_NE(service_->Log().find("Quensaria service running"), std::string::npos);
  {
    BlockClient gone;
    EXPECT_NE(gone.Connect(port_a), 0);
  }
  // Both are stored as started.
  const std::vector<StoredServer> stored = *store::ParseConfiguration(LocalsXml());
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].config.Started, 1);
  EXPECT_EQ(stored[1].config.Started, 1);

  StartService();
  ExpectServes(port_a, 2);
  ExpectServes(port_b, 3);
  EXPECT_EQ(StopService(SIGINT), 0);
}

TEST_F(ServiceProgramTest, LocalsXmlAttributeByAttributeWithAChineseSourcePath) {
  const std::string image = MakeImage("镜像盘.img", 4);
  StartService();
  Handle server = 0;
  ServerConfig config = Config(image, 60000);
  config.IpAddress = htonl(0xC0A80001);  // 192.168.0.1
  config.SizeBytes = kImageSize + 100;   // stored in whole sectors
  ASSERT_EQ(client_->AddServer(config, server), 0);
  ClientEntry client{};
  client.address = htonl(0x0A0000C8);  // 10.0.0.200
  client.access = ACCESS_FULL;
  client.nameState = kNameKnown;
  std::strcpy(client.hostName, "主机一");
  ASSERT_EQ(client_->AddStaticClient(server, client), 0);
  EXPECT_EQ(StopService(), 0);

  const std::string xml = LocalsXml();
  const std::string login = DigestToHex(PasswordDigest("open sesame"));
  const std::string manage = DigestToHex(PasswordDigest("boss"));
  // GB2312 bytes for 镜像盘 and 主机一, none of their UTF-8 bytes.
  EXPECT_EQ(xml.find("镜像"), std::string::npos);
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Services><Server IpAddress=\"16820416\" "
      "Port=\"60000\" Source=\"" +
      dir_ +
      "/\xBE\xB5\xCF\xF1\xC5\xCC.img\" Capability=\"8192\" "
      "Started=\"0\" Cache=\"8\" AuthMode=\"0\" Password=\"" +
      login + "\" ManagePassword=\"" + manage +
      "\"><Client IpAddress=\"-939524086\" Access=\"0\" HasName=\"1\" "
      "HostName=\"\xD6\xF7\xBB\xFA\xD2\xBB\"/></Server></Services>\n";
  EXPECT_EQ(xml, expected);

  // The path comes back unchanged, and the server serves that file.
  StartService();
  Handle first = 0;
  ASSERT_EQ(client_->EnumServers(0, first), 0);
  ServerConfig loaded;
  ASSERT_EQ(client_->GetServer(first, loaded), 0);
  EXPECT_EQ(std::string(loaded.Source), image);
  EXPECT_EQ(loaded.SizeBytes, static_cast<int64_t>(kImageSize));
  Handle entry_handle = 0;
  ASSERT_EQ(client_->EnumStaticClients(first, 0, entry_handle), 0);
  ClientEntry entry;
  ASSERT_EQ(client_->GetStaticClient(entry_handle, entry), 0);
  EXPECT_STREQ(entry.hostName, "主机一");
  EXPECT_EQ(entry.nameState, kNameKnown);
  uint16_t port = 0;
  ASSERT_NE(AddStarted(image, port), 0u);
  ExpectServes(port, 4);
  EXPECT_EQ(StopService(), 0);
}

TEST_F(ServiceProgramTest, LudraneCliDrivesTheRealService) {
  const std::string image = MakeImage("cli.img", 5);
  StartService();
  const auto cli = [&](const std::string& args, std::string* out = nullptr) {
    std::vector<std::string> argv = {LUDRANE_CLI, "--runtime-dir", runtime_};
    std::istringstream words(args);
    for (std::string word; words >> word;) argv.push_back(word);
    const testing::ProgramResult result = testing::RunProgram(argv, std::chrono::seconds(60));
    if (out) *out = result.out + result.err;
    return result.exit_code;
  };
  const uint16_t port = testing::FreePort();
  std::string out;
  ASSERT_EQ(cli("add-server " + image + " --port " + std::to_string(port) + " --password pw", &out),
            0)
      << out;
  const std::string server = out.substr(0, out.find('\n'));
  ASSERT_EQ(cli("add-client " + server + " 127.0.0.1 full", &out), 0) << out;
  ASSERT_EQ(cli("start-server " + server, &out), 0) << out;
  ASSERT_EQ(cli("list-servers", &out), 0);
  EXPECT_NE(out.find("started"), std::string::npos) << out;

  BlockClient block;
  ASSERT_EQ(block.Connect(port), 0);
  EXPECT_EQ(block.Login("pw").reply.status, REPLY_OK);
  QueryData query;
  ASSERT_EQ(block.Query(query).error, 0);
  EXPECT_EQ(query.access, ACCESS_FULL);  // the exact address has full access
  std::vector<uint8_t> data;
  ASSERT_EQ(block.Read(8192, 4096, data).reply.status, REPLY_OK);
  ASSERT_EQ(data.size(), 4096u);
  for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], Pattern(8192 + i, 5)) << i;

  ASSERT_EQ(cli("list-clients " + server, &out), 0);
  EXPECT_NE(out.find("127.0.0.1"), std::string::npos) << out;
  EXPECT_NE(out.find("(any address)"), std::string::npos) << out;
  ASSERT_EQ(cli("delete-server " + server, &out), 0) << out;
  ASSERT_EQ(cli("list-servers", &out), 0);
  EXPECT_EQ(out.find(image), std::string::npos) << out;
  EXPECT_EQ(StopService(), 0);
  EXPECT_EQ(LocalsXml(), "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Services/>\n");
}

// The figures of a known load as an administrator reads them from the real
// service: ludrane-cli stats as JSON (read by python3's parser) and in
// Prometheus' text (read back by a strict parser).
TEST_F(ServiceProgramTest, StatsOfAKnownLoadThroughTheRealService) {
  const std::string image = MakeImage("figures.img", 9);
  StartService();
  uint16_t port = 0;
  const Handle server = AddStarted(image, port);
  ASSERT_NE(server, 0u);
  constexpr int kReads = 9, kWrites = 4;
  constexpr uint32_t kLength = 32768;
  BlockClient block;
  ASSERT_EQ(block.Connect(port, htonl(0x7F000005)), 0);
  ASSERT_EQ(block.Login("boss").reply.status, REPLY_OK);
  std::vector<uint8_t> data;
  for (int i = 0; i < kReads; ++i) {
    ASSERT_EQ(block.Read(uint64_t{kLength} * i, kLength, data).reply.status, REPLY_OK);
  }
  const std::vector<uint8_t> payload(4096, 0x42);
  for (int i = 0; i < kWrites; ++i) {
    ASSERT_EQ(block.Write(2 << 20, payload.data(), 4096).reply.status, REPLY_OK);
  }
  BlockClient stranger;
  ASSERT_EQ(stranger.Connect(port, htonl(0x7F000006)), 0);
  ASSERT_EQ(stranger.Login("guess").reply.status, REPLY_DENIED);
  ASSERT_EQ(stranger.Read(0, 512, data).reply.status, REPLY_DENIED);

  const auto cli = [&](const std::string& args) {
    std::vector<std::string> argv = {LUDRANE_CLI, "--runtime-dir", runtime_};
    std::istringstream words(args);
    for (std::string word; words >> word;) argv.push_back(word);
    return testing::RunProgram(argv, std::chrono::seconds(60));
  };
  // A reply can reach the client a moment before its worker counts it.
  std::map<std::string, std::string> json;
  std::string failure;  // of the command or of reading its answer; ends the wait
  testing::Eventually(
      [&] {
        const testing::ProgramResult stats = cli("stats " + std::to_string(server) + " --json");
        if (stats.exit_code != 0) {
          failure = "stats: " + stats.err;
          return true;
        }
        std::ofstream(dir_ + "/stats.json") << stats.out;
        const testing::ProgramResult parsed =
            testing::RunProgram({"/usr/bin/python3", "-c",
                                 "import json, sys\n"
                                 "s = json.load(open(sys.argv[1]))['servers'][0]\n"
                                 "for k, v in s.items(): print(k + '=' + json.dumps(v))\n",
                                 dir_ + "/stats.json"});
        if (parsed.exit_code != 0) {
          failure = parsed.err + stats.out;
          return true;
        }
        json.clear();
        for (const std::string& line : testing::Lines(parsed.out)) {
          json[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        }
        // Each connection's worker counts for itself: wait for all of them.
        return json["reads"] == std::to_string(kReads + 1) &&
               json["writes"] == std::to_string(kWrites) && json["errors"] == "2" &&
               json["recent_requests"] == std::to_string(kReads + kWrites + 3) &&
               json["online_clients"] == "1";
      },
      60s, 10ms);
  ASSERT_EQ(failure, "");
  EXPECT_EQ(json["state"], "\"started\"");
  EXPECT_EQ(json["reads"], std::to_string(kReads + 1));
  EXPECT_EQ(json["writes"], std::to_string(kWrites));
  EXPECT_EQ(json["other_requests"], "2");
  EXPECT_EQ(json["bytes_read"], std::to_string(uint64_t{kReads} * kLength));
  EXPECT_EQ(json["bytes_written"], std::to_string(kWrites * 4096));
  EXPECT_EQ(json["errors"], "2");  // the wrong password and the read it left refused
  EXPECT_EQ(json["online_clients"], "1");
  EXPECT_EQ(json["connections"], "2");
  EXPECT_EQ(json["recent_requests"], std::to_string(kReads + kWrites + 3));
  EXPECT_NE(json["latency_p99_us"], "null");

  const testing::ProgramResult prometheus = cli("stats --prometheus");
  ASSERT_EQ(prometheus.exit_code, 0) << prometheus.err;
  const testing::PromText text = testing::ParsePrometheusText(prometheus.out);
  ASSERT_EQ(text.error, "") << prometheus.out;
  const std::map<std::string, std::string> labels = {
      {"server", std::to_string(server)}, {"port", std::to_string(port)}, {"source", image}};
  EXPECT_EQ(text.Value("quensaria_export_up", labels), 1);
  EXPECT_EQ(text.Value("quensaria_read_bytes_total", labels), double{kReads} * kLength);
  EXPECT_EQ(text.Value("quensaria_request_errors_total", labels), 2);
  std::map<std::string, std::string> reads = labels;
  reads["kind"] = "read";
  EXPECT_EQ(text.Value("quensaria_requests_total", reads), kReads + 1);
  EXPECT_EQ(text.Value("quensaria_request_duration_seconds_count", labels), kReads + kWrites + 3);

  // Stopped: up 0, the counters gone with the engine.
  ASSERT_EQ(client_->StopServer(server), 0);
  const testing::PromText stopped = testing::ParsePrometheusText(cli("stats --prometheus").out);
  ASSERT_EQ(stopped.error, "");
  EXPECT_EQ(stopped.Value("quensaria_export_up", labels), 0);
  EXPECT_EQ(stopped.Value("quensaria_read_bytes_total", labels), 0);
  EXPECT_EQ(StopService(), 0);
}

// Locals.xml holds the password digests, which are as good as passwords to
// a client: it is root's alone, under the unit's UMask=0077 as under any
// other, and a file an older version left readable is narrowed at the start.
TEST_F(ServiceProgramTest, FilesWithDigestsAreTheOwnersAlone) {
  namespace fs = std::filesystem;
  const auto mode = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
  };
  const std::string image = MakeImage("secret.img", 7);
  const mode_t umask_before = ::umask(077);  // the unit's
  StartService();
  ::umask(umask_before);
  // Its clients still reach the management socket.
  EXPECT_EQ(mode(runtime_ + "/ncalrpc"), 0755u);
  EXPECT_EQ(mode(runtime_ + "/ncalrpc/quensariasvc"), 0660u);
  Handle server = 0;
  ASSERT_EQ(client_->AddServer(Config(image, 60001), server), 0);
  EXPECT_EQ(mode(state_), 0750u) << "the state directory the service made";
  EXPECT_EQ(mode(state_ + "/Locals.xml"), 0600u);
  EXPECT_FALSE(fs::exists(state_ + "/Locals.bak.xml"));
  EXPECT_EQ(StopService(), 0);
  EXPECT_EQ(mode(state_ + "/Locals.xml"), 0600u);

  // As an older version left it: narrowed, with a console line, the
  // export kept as it was.
  ASSERT_EQ(::chmod((state_ + "/Locals.xml").c_str(), 0644), 0);
  StartService();
  EXPECT_EQ(mode(state_ + "/Locals.xml"), 0600u);
  EXPECT_NE(
      service_->Log().find(state_ + "/Locals.xml: mode 0644 let others read its password digests; "
                                    "narrowed to 0600"),
      std::string::npos)
      << service_->Log();
  Handle first = 0;
  ASSERT_EQ(client_->EnumServers(0, first), 0);
  ServerConfig loaded{};
  ASSERT_EQ(client_->GetServer(first, loaded), 0);
  EXPECT_EQ(std::memcmp(loaded.Password, PasswordDigest("open sesame").data(), 20), 0);
  EXPECT_EQ(StopService(), 0);

  if (::geteuid() != 0) GTEST_SKIP() << "needs root to read as another user";
  if (!testing::ProgramExists("setpriv")) GTEST_SKIP() << "needs setpriv (util-linux)";
  const auto read_as_nobody = [](const std::string& path) {
    return testing::RunProgram(
        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "cat", path});
  };
  // The directory as the service made it lets nobody in at all; opened up,
  // the file's own mode still keeps the digests in.
  EXPECT_NE(testing::RunProgram(
                {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "ls", state_})
                .exit_code,
            0);
  fs::permissions(dir_, fs::perms(0755));
  fs::permissions(state_, fs::perms(0755));
  std::ofstream(state_ + "/readable.txt") << "anyone\n";
  fs::permissions(state_ + "/readable.txt", fs::perms(0644));
  const testing::ProgramResult control = read_as_nobody(state_ + "/readable.txt");
  ASSERT_EQ(control.exit_code, 0) << "the reader works: " << control.err;
  EXPECT_EQ(control.out, "anyone\n");
  const testing::ProgramResult refused = read_as_nobody(state_ + "/Locals.xml");
  EXPECT_NE(refused.exit_code, 0);
  EXPECT_NE(refused.err.find("Permission denied"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.out.find("Password"), std::string::npos) << refused.out;
}

// Starts the service on `state` (the runtime directory in `scratch`): used,
// it answers and saves Locals.xml there; refused, it ends with status 1,
// says `refusal` and saves nothing.
void ExpectStateDirectoryUsed(const testing::ScratchDir& scratch, const std::string& state,
                              bool used, const char* refusal) {
  Program service(
      {QUENSARIA_PROGRAM, "--console", "--state-dir", state, "--runtime-dir", scratch.File("run")},
      scratch.File("service.log"));
  ASSERT_TRUE(service.started());
  if (used) {
    ManagementClient client(scratch.File("run"), 10s);
    std::string name;
    EXPECT_TRUE(
        testing::Eventually([&] { return client.GetServiceName(16, name) == 0; }, 10s, 10ms))
        << service.Log();
    EXPECT_EQ(service.Stop(), 0);
    EXPECT_TRUE(std::filesystem::exists(state + "/Locals.xml")) << service.Log();
    return;
  }
  EXPECT_EQ(service.Wait(30s), std::optional<int>(1)) << service.Log();
  EXPECT_NE(service.Log().find(refusal), std::string::npos) << service.Log();
  EXPECT_FALSE(std::filesystem::exists(state + "/Locals.xml"));
}

// Whoever may write to the state directory may put a Locals.xml of his own
// there (exports of any disk, his own client at full access), or a link in
// its place, through which the service would replace the file it leads to:
// the service does not start on such a directory, nor below one writable by
// all without the sticky bit. One writable by its group (root:quensaria
// 0770, say) is the administrator's choice.
TEST_F(ServiceProgramTest, AStateDirectoryOthersMayWriteToIsNotUsed) {
  struct Case {
    const char* name;
    mode_t parent_mode;
    mode_t state_mode;
    bool used;
  };
  for (const Case& c : {Case{"writable by all", 0755, 0777, false},
                        Case{"writable by all, sticky", 0755, 01777, false},
                        Case{"in a directory writable by all", 0777, 0750, false},
                        Case{"writable by its group", 0755, 0770, true},
                        Case{"in a sticky directory writable by all", 01777, 0750, true}}) {
    SCOPED_TRACE(c.name);
    testing::ScratchDir scratch;
    const std::string parent = scratch.File("parent");
    const std::string state = parent + "/state";
    std::filesystem::create_directories(state);
    ASSERT_EQ(::chmod(parent.c_str(), c.parent_mode), 0);
    ASSERT_EQ(::chmod(state.c_str(), c.state_mode), 0);
    ExpectStateDirectoryUsed(scratch, state, c.used,
                             "writable by other users: Locals.xml is not kept there");
  }
}

// The owner of the state directory may change its mode or rename Locals.xml
// away and put his own in its place, whatever the mode says: a state
// directory of another user than the service's and root is not used. The
// directories above it are the administrator's choice, as a checkout of his
// own that he serves from as root.
TEST_F(ServiceProgramTest, AStateDirectoryAnotherUserOwnsIsNotUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a directory to another user";
  constexpr uid_t kOther = 65534;
  struct Case {
    const char* name;
    uid_t parent_owner;
    uid_t state_owner;
    bool used;
  };
  for (const Case& c : {Case{"another user's", 0, kOther, false},
                        Case{"in a directory of another user", kOther, 0, true}}) {
    SCOPED_TRACE(c.name);
    testing::ScratchDir scratch;
    const std::string parent = scratch.File("parent");
    const std::string state = parent + "/state";
    std::filesystem::create_directories(state);
    ASSERT_EQ(::chmod(parent.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(state.c_str(), 0750), 0);
    ASSERT_EQ(::chown(parent.c_str(), c.parent_owner, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(::chown(state.c_str(), c.state_owner, static_cast<gid_t>(-1)), 0);
    ExpectStateDirectoryUsed(scratch, state, c.used,
                             "owned by another user: Locals.xml is not kept there");
  }
}

TEST_F(ServiceProgramTest, AForeignDceRpcClientManagesTheRealService) {
  if (!std::filesystem::exists("/usr/bin/python3") ||
      testing::RunProgram({"/usr/bin/python3", "-c", "import impacket.dcerpc.v5.rpcrt"})
              .exit_code != 0) {
    GTEST_SKIP() << "python3-impacket is not installed for /usr/bin/python3";
  }
  StartService();
  const testing::ProgramResult peer =
      testing::RunProgram({"/usr/bin/python3", IMPACKET_PEER, runtime_ + "/ncalrpc/quensariasvc"},
                          std::chrono::seconds(120));
  EXPECT_EQ(peer.exit_code, 0) << peer.out << peer.err;
  EXPECT_EQ(peer.out.find("FAIL"), std::string::npos) << peer.out;
  EXPECT_NE(peer.out.find("ok    GetServer Source"), std::string::npos) << peer.out;
  EXPECT_EQ(StopService(), 0);
  // What it added was saved like any other server.
  const std::vector<StoredServer> stored = *store::ParseConfiguration(LocalsXml());
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_STREQ(stored[0].config.Source, "/srv/impacket.img");
}

TEST_F(ServiceProgramTest, ReportsToSystemdWhenStartedByIt) {
  std::filesystem::create_directories(dir_);
  testing::NotifySocket systemd(dir_ + "/notify");
  ASSERT_TRUE(systemd.valid());
  service_ = std::make_unique<Program>(
      std::vector<std::string>{QUENSARIA_PROGRAM, "--state-dir", state_, "--runtime-dir", runtime_},
      dir_ + "/service.log", std::vector<std::string>{"NOTIFY_SOCKET=" + systemd.path()});
  ASSERT_EQ(systemd.Next(20s), "READY=1") << service_->Log();
  client_ = std::make_unique<ManagementClient>(runtime_, 10s);
  std::string name;
  testing::Eventually([&] { return client_->GetServiceName(16, name) == 0; }, 10s, 10ms);
  EXPECT_EQ(name, "Velmoran Server");
  service_->Signal(SIGTERM);
  EXPECT_EQ(systemd.Next(20s), "STOPPING=1");
  EXPECT_EQ(service_->Wait(30s), 0);
  EXPECT_TRUE(std::filesystem::exists(state_ + "/Locals.xml"));
}

// Under systemd the console is the journal's stream: every line carries its
// priority. A client that leaves in good order prints nothing, one that
// resets only a debug line; an export that cannot listen is an error line
// naming the Linux call and the error's text.
TEST_F(ServiceProgramTest, ConsoleLinesCarryTheirPriorityOnTheJournalsStream) {
  std::filesystem::create_directories(dir_);
  const std::string log = dir_ + "/service.log";
  std::ofstream(log).close();
  struct stat st {};
  ASSERT_EQ(::stat(log.c_str(), &st), 0);
  const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  StartService({"JOURNAL_STREAM=" + stream});
  const std::string image = MakeImage("journal.img", 3);
  uint16_t port = 0;
  ASSERT_NE(AddStarted(image, port), 0u);
  ExpectServes(port, 3);  // logs on, reads and closes in good order
  {
    BlockClient resetting;
    ASSERT_EQ(resetting.Connect(port, htonl(0x7F000005)), 0);
    EXPECT_EQ(resetting.Login("open sesame").reply.status, REPLY_OK);
    EXPECT_TRUE(platform::SetAbortiveClose(resetting.fd()).ok());
  }
  const std::string reset_line = "<7>recv() failed: 104 Connection reset by peer";
  testing::Eventually([&] { return service_->Log().find(reset_line) != std::string::npos; }, 30s,
                      10ms);
  // A port another program listens on.
  Result<platform::UniqueFd> listening = testing::ListenOnFreePort();
  ASSERT_TRUE(listening.ok()) << listening.status().ToString();
  platform::UniqueFd holder = std::move(listening).value();
  Handle taken = 0;
  ASSERT_EQ(client_->AddServer(Config(image, platform::LocalPort(holder.get())), taken), 0);
  EXPECT_NE(client_->StartServer(taken), 0);
  EXPECT_EQ(StopService(), 0);
  const std::vector<std::string> lines = testing::Lines(service_->Log());
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "<6>Quensaria service running: state " + state_ + ", management " +
                           runtime_ + "/ncalrpc/quensariasvc; Ctrl-C stops it.",
                       reset_line,
                       "<3>bind() failed: 98 Address already in use",
                   }))
      << service_->Log();
}

// Started by systemd with many exports to bring up: the start-up time-out
// is extended ahead of each, and READY comes only once every export serves
// and the management interface answers.
TEST_F(ServiceProgramTest, ReadyOnlyOnceEveryStartedExportServes) {
  const std::string image = MakeImage("many.img", 6);
  constexpr int kExports = 20;
  std::vector<StoredServer> servers(kExports);
  std::vector<uint16_t> ports;
  for (StoredServer& server : servers) {
    ports.push_back(testing::FreePort());
    server.config = Config(image, ports.back());
    server.config.Started = 1;
    ClientEntry any{};
    any.access = ACCESS_VIRTUAL_WRITE;
    server.static_clients.push_back(any);
  }
  std::filesystem::create_directories(state_);
  std::ofstream(state_ + "/Locals.xml") << store::FormatConfiguration(servers).value();

  testing::NotifySocket systemd(dir_ + "/notify");
  ASSERT_TRUE(systemd.valid());
  service_ = std::make_unique<Program>(
      std::vector<std::string>{QUENSARIA_PROGRAM, "--state-dir", state_, "--runtime-dir", runtime_},
      dir_ + "/service.log", std::vector<std::string>{"NOTIFY_SOCKET=" + systemd.path()});
  int extensions = 0;
  for (;;) {
    const std::string message = systemd.Next(60s);
    ASSERT_NE(message, "") << service_->Log();
    if (message == "READY=1") break;
    EXPECT_EQ(message, "EXTEND_TIMEOUT_USEC=10000000");
    ++extensions;
  }
  EXPECT_EQ(extensions, kExports);
  // Ready means ready: every export serves now, without waiting.
  for (uint16_t port : ports) ExpectServes(port, 6);
  client_ = std::make_unique<ManagementClient>(runtime_, 10s);
  std::string name;
  EXPECT_EQ(client_->GetServiceName(16, name), 0);
  EXPECT_EQ(name, "Velmoran Server");
  EXPECT_EQ(StopService(), 0);
}

}  // namespace
}  // namespace quensaria
