// The management interface on a real socket in a temporary runtime
// directory: the start-up sequence, many peers at once, peers that vanish,
// the connection cap and the stop.
#include "service/management/management_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/eventually_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "platform/whole_file.h"
#include "service/management/fake_operations_for_testing.h"
#include "service/management/test_client_for_testing.h"

namespace quensaria::management {
namespace {

using namespace std::chrono_literals;

class ManagementServerTest : public ::testing::Test {
 protected:
  void TearDown() override { Stop(); }

  // Peers here mostly share this one process: no limit per process unless
  // a test sets one.
  void Start(size_t max_connections = kMaxConnections, size_t max_per_process = kMaxConnections,
             std::chrono::milliseconds idle_timeout = kIdleTimeout) {
    server_ = std::make_unique<ManagementServer>(
        ops_, dir_ + "/run", ManagementLimits{max_connections, max_per_process, idle_timeout});
    listener_ = std::thread([this] { StartManagementInterface(*server_); });
    // Serving once a client can bind.
    const bool up = testing::Eventually(
        [&] {
          TestClient probe;
          return probe.Connect(server_->EndpointPath()) && probe.Bind();
        },
        30s, 10ms);
    ASSERT_TRUE(up) << "the interface did not come up";
    // The probe's connection must be gone before a test counts connections,
    // or it takes one of the slots the test means to fill.
    ASSERT_TRUE(WaitFor([&] { return server_->active_connections() == 0; }));
  }
  void Stop() {
    if (server_) server_->Shutdown();
    if (listener_.joinable()) listener_.join();
    server_.reset();
  }
  // A runtime directory as a case prepares it, and whether the socket may
  // be made in it.
  struct EndpointCase {
    const char* name;
    std::function<void(const std::string& run)> prepare;
    bool used;
  };
  // Each case in a scratch directory of its own: the socket is made where it
  // may be, and elsewhere the problem says `refusal`.
  void ExpectSocketMadeOnlyWhereUsed(const std::vector<EndpointCase>& cases,
                                     const std::string& refusal) {
    for (const EndpointCase& c : cases) {
      SCOPED_TRACE(c.name);
      testing::ScratchDir scratch;
      const std::string run = scratch.File("parent/run");
      c.prepare(run);
      ManagementServer server(ops_, run);
      std::string problem;
      EXPECT_EQ(server.UseEndpoint(&problem),
                c.used ? rpc::RPC_S_OK : rpc::RPC_S_CANT_CREATE_ENDPOINT)
          << problem;
      struct stat st;
      EXPECT_EQ(::lstat(server.EndpointPath().c_str(), &st) == 0, c.used);
      if (!c.used) {
        EXPECT_NE(problem.find(refusal), std::string::npos) << problem;
      }
    }
  }
  TestClient Bound() {
    TestClient client;
    EXPECT_TRUE(client.Connect(server_->EndpointPath()));
    EXPECT_TRUE(client.Bind());
    return client;
  }
  static bool WaitFor(const std::function<bool()>& condition) {
    return testing::Eventually(condition, 30s);
  }

  testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.path().string();
  FakeOperations ops_;
  std::unique_ptr<ManagementServer> server_;
  std::thread listener_;
};

TEST_F(ManagementServerTest, ServesTheSocketWithMode0660) {
  Start();
  struct stat st;
  ASSERT_EQ(stat((dir_ + "/run/ncalrpc/quensariasvc").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  TestClient client = Bound();
  std::string text;
  EXPECT_EQ(client.ServiceName(15), -1);
  EXPECT_EQ(client.ServiceName(16, &text), 0);
  EXPECT_EQ(text, std::string("Velmoran Server\0", 16));
  // A large out buffer comes back in several fragments.
  EXPECT_EQ(client.ServiceName(100000, &text), 0);
  EXPECT_EQ(text.size(), 100000u);
  Stop();
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/run/ncalrpc/quensariasvc"));
}

// A configurator of before the figures binds the same interface and calls
// what it always called, and numbers outside the interface still fault
// with nca_op_rng_error, without harm to the
// association; the figures answer on it like any other call.
TEST_F(ManagementServerTest, OldCallsAndUnknownNumbersAreAnsweredAsBeforeBesideTheFigures) {
  Start();
  TestClient client = Bound();
  ManagementRequest request;
  ManagementReply reply;
  ServerConfig config{};
  std::strcpy(config.Source, "/srv/old.img");
  config.Port = 60123;
  EncodeRecord(config, request.record.data());
  ASSERT_EQ(client.Call(ManagementOp::AddServer, request, reply), 0u);
  const int32_t server = reply.value;
  ASSERT_NE(server, 0);
  const auto call = [&](ManagementOp op, int32_t first, int32_t second = 0) {
    ManagementRequest in;
    in.first = first;
    in.second = second;
    ManagementReply out;
    EXPECT_EQ(client.Call(op, in, out), 0u) << static_cast<int>(op);
    return out;
  };
  const auto expect_unknown = [&](uint16_t opnum) {
    std::vector<uint8_t> stub;
    EXPECT_EQ(client.RawCall(opnum, std::vector<uint8_t>(4, 0), stub), rpc::nca_op_rng_error)
        << opnum;
  };
  for (int round = 0; round < 2; ++round) {
    // The configurator's rebuild: probe, servers, then one server's clients.
    EXPECT_EQ(client.ServiceName(kLastErrorTextSize), 0);
    EXPECT_EQ(call(ManagementOp::EnumServers, 0).value, server);
    ManagementReply got = call(ManagementOp::GetServer, server);
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(DecodeServerConfig(got.buffer.data()).Port, 60123);
    EXPECT_EQ(call(ManagementOp::EnumServers, server).value, 0);
    EXPECT_EQ(call(ManagementOp::EnumStaticClients, server, 0).value, 0);
    EXPECT_EQ(call(ManagementOp::EnumOnlineClients, server, 0).value, 0);
    EXPECT_EQ(call(ManagementOp::StartServer, server).result, 0);
    EXPECT_EQ(call(ManagementOp::StopServer, server).result, 0);
    for (const uint16_t opnum : {19, 20, 255, 0xFFFF}) expect_unknown(opnum);
  }
  ManagementReply figures = call(ManagementOp::GetServerStats, server);
  EXPECT_EQ(figures.result, 0);
  EXPECT_EQ(DecodeServerStats(figures.buffer.data()).RecordSize, sizeof(ServerStats));
  EXPECT_EQ(call(ManagementOp::GetServerStats, server + 1000).result, -1);
  EXPECT_EQ(call(ManagementOp::DeleteServer, server).result, 0);
  EXPECT_EQ(call(ManagementOp::EnumServers, 0).value, 0);
}

TEST_F(ManagementServerTest, EndpointFailureIsReportedByTheBindingsStep) {
  std::ofstream(dir_ + "/run") << "a file where the runtime directory should be";
  ManagementServer server(ops_, dir_ + "/run");
  std::string console;
  platform::SetConsoleSinkForTesting([&](std::string_view line) { console += line; });
  StartManagementInterface(server);  // returns: nothing to listen on
  platform::SetConsoleSinkForTesting({});
  EXPECT_NE(console.find(server.EndpointPath() + ": "), std::string::npos) << console;
  EXPECT_NE(console.find("RPC Err: 1718\nfile = .\\zeltosvcrpcs, line=50."), std::string::npos)
      << console;
}

// Whoever may write to a directory on the way to the socket may put a
// socket of his own in its place, which ludrane would then hand every
// export's digests: such a directory is not used. A sticky one (as /tmp, in
// which the scratch directory lies) lets nobody remove what the service
// made; a runtime directory writable by its group is what a user's private
// group's umask makes.
TEST_F(ManagementServerTest, TheSocketIsMadeOnlyWhereNobodyElseMayReplaceIt) {
  const auto make = [](const std::string& directory, mode_t mode) {
    std::filesystem::create_directories(directory);
    ASSERT_EQ(::chmod(directory.c_str(), mode), 0);
  };
  const std::vector<EndpointCase> cases = {
      {"writable by all", [&](const std::string& run) { make(run, 0777); }, false},
      {"its parent writable by all",
       [&](const std::string& run) {
         make(run, 0755);
         make(platform::DirectoryOf(run), 0777);
       },
       false},
      {"its socket directory writable by all",
       [&](const std::string& run) { make(run + "/ncalrpc", 0777); }, false},
      {"its socket directory writable by its group",
       [&](const std::string& run) { make(run + "/ncalrpc", 0775); }, false},
      {"a link to a directory writable by all",
       [&](const std::string& run) {
         make(run + ".real", 0777);
         ASSERT_EQ(::symlink((run + ".real").c_str(), run.c_str()), 0);
       },
       false},
      {"sticky, writable by all", [&](const std::string& run) { make(run, 01777); }, true},
      {"writable by its group", [&](const std::string& run) { make(run, 0775); }, true},
  };
  ExpectSocketMadeOnlyWhereUsed(cases, "the management socket is not made there");
}

// Whoever owns the socket's directory or the runtime directory may change
// its mode or rename what is in it, whatever the mode says: only the
// service's own, and root's, are used. A socket directory left by another
// user in a sticky runtime directory is his, though nobody else may write
// to it. The directories above are the administrator's choice, as a
// checkout of his own that he serves from as root.
TEST_F(ManagementServerTest, TheSocketIsNotMadeInDirectoriesOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a directory to another user";
  constexpr uid_t kOther = 65534;
  const auto make = [](const std::string& directory, mode_t mode, uid_t owner) {
    std::filesystem::create_directories(directory);
    ASSERT_EQ(::chmod(directory.c_str(), mode), 0);
    ASSERT_EQ(::chown(directory.c_str(), owner, static_cast<gid_t>(-1)), 0);
  };
  const std::vector<EndpointCase> cases = {
      {"its socket directory another user's, in a sticky one",
       [&](const std::string& run) {
         make(run, 01777, 0);
         make(run + "/ncalrpc", 0755, kOther);
       },
       false},
      {"another user's", [&](const std::string& run) { make(run, 0755, kOther); }, false},
      {"in a directory of another user",
       [&](const std::string& run) {
         make(run, 0755, 0);
         make(platform::DirectoryOf(run), 0755, kOther);
       },
       true},
  };
  ExpectSocketMadeOnlyWhereUsed(cases,
                                "owned by another user: the management socket is not made there");
}

TEST_F(ManagementServerTest, RuntimeStepsRefuseWhatTheRuntimeRefuses) {
  ManagementServer server(ops_, dir_ + "/run");
  EXPECT_EQ(server.Listen(), rpc::RPC_S_NO_PROTSEQS_REGISTERED);
  std::vector<std::string> bindings;
  EXPECT_EQ(server.InquireBindings(bindings), rpc::RPC_S_NO_BINDINGS);
  ASSERT_EQ(server.UseEndpoint(), rpc::RPC_S_OK);
  EXPECT_EQ(server.InquireBindings(bindings), rpc::RPC_S_OK);
  EXPECT_EQ(bindings, std::vector<std::string>{"ncalrpc:[" + server.EndpointPath() + "]"});
  std::thread listening([&] { EXPECT_EQ(server.Listen(), rpc::RPC_S_OK); });
  // A connection taken in: Listen is running.
  TestClient client;
  EXPECT_TRUE(client.Connect(server.EndpointPath()));
  EXPECT_TRUE(WaitFor([&] { return server.active_connections() == 1; }));
  EXPECT_EQ(server.Listen(), rpc::RPC_S_ALREADY_LISTENING);
  server.Shutdown();
  listening.join();
}

TEST_F(ManagementServerTest, BindsFailUntilTheInterfaceIsRegistered) {
  ManagementServer server(ops_, dir_ + "/run");
  ASSERT_EQ(server.UseEndpoint(), rpc::RPC_S_OK);
  std::thread listening([&] { server.Listen(); });
  TestClient early;
  ASSERT_TRUE(WaitFor([&] { return early.Connect(server.EndpointPath()); }));
  EXPECT_FALSE(early.Bind());
  server.RegisterInterface();
  TestClient late;
  ASSERT_TRUE(late.Connect(server.EndpointPath()));
  EXPECT_TRUE(late.Bind());
  server.Shutdown();
  listening.join();
}

TEST_F(ManagementServerTest, ManyPeersAtOnce) {
  Start();
  constexpr int kPeers = 16;
  constexpr int kCalls = 40;
  std::vector<std::thread> peers;
  std::atomic<int> good{0};
  for (int p = 0; p < kPeers; ++p) {
    peers.emplace_back([&, p] {
      TestClient client;
      if (!client.Connect(server_->EndpointPath()) || !client.Bind()) return;
      for (int i = 0; i < kCalls; ++i) {
        ServerConfig config;
        std::memset(&config, 0, sizeof config);
        std::snprintf(config.Source, sizeof config.Source, "/peer/%d/%d", p, i);
        ManagementRequest request;
        EncodeRecord(config, request.record.data());
        ManagementReply reply;
        if (client.Call(ManagementOp::AddServer, request, reply) == 0 && reply.result == 0) ++good;
      }
    });
  }
  for (auto& peer : peers) peer.join();
  EXPECT_EQ(good, kPeers * kCalls);
  // Every server is there exactly once.
  TestClient client = Bound();
  int count = 0;
  ManagementRequest walk;
  for (;;) {
    ManagementReply reply;
    ASSERT_EQ(client.Call(ManagementOp::EnumServers, walk, reply), 0u);
    if (reply.value == 0) break;
    walk.first = reply.value;
    ++count;
  }
  EXPECT_EQ(count, kPeers * kCalls);
}

TEST_F(ManagementServerTest, PeersThatVanishMidPduOrMidCallCostNothing) {
  Start();
  {
    TestClient half_header;
    ASSERT_TRUE(half_header.Connect(server_->EndpointPath()));
    const uint8_t five[] = {5, 0, 11, 3, 0x10};
    half_header.Send(five);
  }
  {
    TestClient half_call = Bound();
    auto fragments =
        rpc::EncodeRequest(7, 0, 1, std::vector<uint8_t>(2052, 0), rpc::kMinFragmentSize);
    half_call.Send(fragments[0]);
  }
  {
    ops_.call_delay_ms = 200;
    TestClient gone_before_reply = Bound();
    gone_before_reply.Send(rpc::EncodeRequest(8, 0, 3, std::vector<uint8_t>(4, 0), 4280)[0]);
  }
  EXPECT_TRUE(WaitFor([&] { return server_->active_connections() == 0; }));
  ops_.call_delay_ms = 0;
  TestClient client = Bound();
  EXPECT_EQ(client.ServiceName(16), 0);
}

TEST_F(ManagementServerTest, ConnectionsBeyondTheCapAreClosedAtOnce) {
  Start(4);
  std::vector<TestClient> held;
  for (int i = 0; i < 4; ++i) held.push_back(Bound());
  EXPECT_TRUE(WaitFor([&] { return server_->active_connections() == 4; }));
  TestClient surplus;
  ASSERT_TRUE(surplus.Connect(server_->EndpointPath()));
  EXPECT_FALSE(surplus.Bind());  // closed without an answer
  held.pop_back();
  EXPECT_TRUE(WaitFor([&] { return server_->active_connections() == 3; }));
  TestClient next = Bound();
  EXPECT_EQ(next.ServiceName(16), 0);
}

// Connections that never finish a PDU are closed after the idle time-out,
// whether silent or trickling bytes; one that keeps calling stays.
TEST_F(ManagementServerTest, ConnectionsWithoutAWholePduInTimeAreClosed) {
  Start(kMaxConnections, kMaxConnections, 300ms);
  TestClient silent;
  ASSERT_TRUE(silent.Connect(server_->EndpointPath()));
  TestClient bound_then_silent = Bound();
  TestClient trickling;
  ASSERT_TRUE(trickling.Connect(server_->EndpointPath()));
  TestClient busy = Bound();
  ASSERT_TRUE(WaitFor([&] { return server_->active_connections() == 4; }));
  const std::vector<uint8_t> bind =
      rpc::EncodeRequest(1, 0, 0, std::vector<uint8_t>(8, 0), 4280)[0];
  // One byte every 50 ms, and a call every 50 ms: both outlive the time-out.
  for (size_t i = 0; i < 16; ++i) {
    trickling.Send(std::span<const uint8_t>(bind.data() + i, 1));
    EXPECT_EQ(busy.ServiceName(16), 0);
    std::this_thread::sleep_for(50ms);  // paces the two clients, as the comment says
  }
  EXPECT_TRUE(WaitFor([&] { return server_->active_connections() == 1; }));
  EXPECT_FALSE(silent.Receive().has_value());
  EXPECT_FALSE(bound_then_silent.Receive().has_value());
  EXPECT_FALSE(trickling.Receive().has_value());
  EXPECT_EQ(busy.ServiceName(16), 0);
  TestClient next = Bound();
  EXPECT_EQ(next.ServiceName(16), 0);
}

// A peer that stops taking its reply is closed after the idle time-out too:
// the reply waits that long for room on the socket, not for ever.
TEST_F(ManagementServerTest, APeerThatTakesNoReplyIsClosedAfterTheTimeOut) {
  Start(kMaxConnections, kMaxConnections, 300ms);
  TestClient stalled = Bound();
  ASSERT_TRUE(WaitFor([&] { return server_->active_connections() == 1; }));
  // The largest reply, far more than the socket holds, never read.
  ManagementRequest request;
  request.first = kMaxManagementBuffer;
  for (const auto& pdu :
       rpc::EncodeRequest(2, 0, static_cast<uint16_t>(ManagementOp::GetServiceName),
                          EncodeManagementRequest(ManagementOp::GetServiceName, request), 4280)) {
    ASSERT_TRUE(stalled.Send(pdu));
  }
  EXPECT_TRUE(WaitFor([&] { return server_->active_connections() == 0; }));
  TestClient next = Bound();
  EXPECT_EQ(next.ServiceName(16), 0);
}

// One process cannot take every slot: beyond its own share its connections
// are closed at once, while another process still gets in.
TEST_F(ManagementServerTest, OneProcessGetsOnlyItsShareOfConnections) {
  Start(kMaxConnections, 2);
  std::vector<TestClient> mine;
  for (int i = 0; i < 2; ++i) mine.push_back(Bound());
  TestClient surplus;
  ASSERT_TRUE(surplus.Connect(server_->EndpointPath()));
  EXPECT_FALSE(surplus.Bind()) << "a third connection of this process";

  // Another process connects sockets made here; the server sees that
  // process as their peer. The child only calls connect.
  std::vector<platform::UniqueFd> theirs;
  for (int i = 0; i < 3; ++i) theirs.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, server_->EndpointPath().c_str());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (platform::UniqueFd& fd : theirs) {
      if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) _exit(1);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  int bound = 0;
  std::vector<TestClient> their_clients(theirs.size());
  for (size_t i = 0; i < theirs.size(); ++i) {
    ASSERT_TRUE(their_clients[i].Adopt(std::move(theirs[i])));
    if (their_clients[i].Bind()) ++bound;
  }
  EXPECT_EQ(bound, 2) << "the other process gets its own two";
  mine.pop_back();
  EXPECT_TRUE(WaitFor([&] { return server_->active_connections() == 3; }));
  TestClient again = Bound();
  EXPECT_EQ(again.ServiceName(16), 0) << "a slot of this process is free again";
}

TEST_F(ManagementServerTest, ShutdownWaitsForRunningCallsAndEndsIdleOnes) {
  Start();
  TestClient idle = Bound();
  TestClient busy = Bound();
  ServerConfig config{};
  Handle added = 0;
  ASSERT_EQ(ops_.AddServer(config, added), 0);
  const int calls_at_start = ops_.calls;
  ops_.call_delay_ms = 300;
  uint32_t call_status = ~0u;
  ManagementReply reply;
  std::thread caller([&] {
    ManagementRequest request;  // the first server
    call_status = busy.Call(ManagementOp::EnumServers, request, reply);
  });
  ASSERT_TRUE(WaitFor([&] { return ops_.calls.load() > calls_at_start; }));
  const int calls_before = ops_.calls;
  server_->Shutdown();
  // No operation may start or still run once Shutdown has returned.
  EXPECT_EQ(ops_.calls, calls_before);
  listener_.join();
  caller.join();
  // The running call ends cleanly either way: cut off by the shutdown (its
  // connection is closed under it, so the caller sees the call fail), or,
  // should it have finished first, answered in full.
  if (call_status == 0) {
    EXPECT_EQ(reply.result, 0);
    EXPECT_EQ(reply.value, static_cast<int32_t>(added));
  } else {
    EXPECT_EQ(call_status, rpc::RPC_S_CALL_FAILED);
  }
  EXPECT_FALSE(idle.Receive().has_value());  // the idle peer sees the end
}

TEST_F(ManagementServerTest, ShutdownBeforeListenMakesListenReturn) {
  ManagementServer server(ops_, dir_ + "/run");
  ASSERT_EQ(server.UseEndpoint(), rpc::RPC_S_OK);
  server.Shutdown();
  EXPECT_EQ(server.Listen(), rpc::RPC_S_OK);
}

}  // namespace
}  // namespace quensaria::management
