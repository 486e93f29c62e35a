// ludrane's document, commands and dialogs against the real quensaria
// program (--console) over a temporary runtime directory; dialogs are the
// real ones, filled in by scripts through RecordingPrompts.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <tuple>

#include "configurator/client/management_client.h"
#include "configurator/document/configurator_defaults.h"
#include "configurator/document/ludrane_options.h"
#include "configurator/document/machine_info.h"
#include "configurator/document/prompts_for_testing.h"
#include "configurator/document/server_document.h"
#include "configurator/widgets/add_client_dialog.h"
#include "configurator/widgets/commands.h"
#include "configurator/widgets/options_dialog.h"
#include "configurator/widgets/server_config_dialog.h"
#include "platform/file_size_limit_for_testing.h"
#include "platform/host_name.h"
#include "platform/scratch_dir_for_testing.h"
#include "platform/thread_identity.h"
#include "shared/block_protocol.h"
#include "shared/password_digest.h"
#include "tests/block_client_for_testing.h"
#include "tests/program_for_testing.h"

namespace quensaria {
namespace {

using namespace std::chrono_literals;
using configurator::AddClientDialog;
using configurator::ClientKind;
using configurator::ClientRow;
using configurator::ConfiguratorDefaults;
using configurator::Handle;
using configurator::ManagementClient;
using configurator::OptionsDialog;
using configurator::RecordingPrompts;
using configurator::Selection;
using configurator::ServerConfigDialog;
using configurator::ServerDocument;
using configurator::ServerRow;
using configurator::SourceKind;
using testing::Program;

// This machine as the create dialog sees it in these tests.
class TestMachine : public configurator::MachineInfo {
 public:
  std::vector<std::string> HostAddresses() override { return {"10.20.30.40"}; }
  std::vector<configurator::DeviceChoice> WholeDisks() override {
    return {{disk_, "fake0  4 MiB"}};
  }
  std::vector<configurator::DeviceChoice> MountedPartitions() override { return {}; }
  std::string disk_;
};

std::string SourceOf(const ServerConfig& config) { return std::string(config.Source); }

// The real service, but every static client added is refused (and, when
// asked, every server or static client deleted, every client changed).
// `after_call`, when set, runs after each addition, start, stop, deletion or
// access change that reached the service (a test stops the service there).
class RefusingStaticClients : public ManagementOperations {
 public:
  explicit RefusingStaticClients(ManagementOperations& real) : real_(real) {}
  int32_t AddStaticClient(Handle s, const ClientEntry& c) override {
    ++additions_asked;
    return additions ? -1 : Then(real_.AddStaticClient(s, c));
  }
  int32_t GetLastErrorText(int32_t n, std::string& t) override {
    return real_.GetLastErrorText(n, t);
  }
  int32_t GetServiceName(int32_t n, std::string& t) override { return real_.GetServiceName(n, t); }
  int32_t AddServer(const ServerConfig& c, Handle& s) override { return real_.AddServer(c, s); }
  int32_t EnumServers(Handle s, Handle& n) override { return real_.EnumServers(s, n); }
  int32_t GetServer(Handle s, ServerConfig& c) override { return real_.GetServer(s, c); }
  int32_t StartServer(Handle s) override { return Then(real_.StartServer(s)); }
  int32_t StopServer(Handle s) override { return Then(real_.StopServer(s)); }
  int32_t DeleteServer(Handle s) override { return deletions ? -1 : Then(real_.DeleteServer(s)); }
  int32_t EnumStaticClients(Handle s, Handle c, Handle& n) override {
    return real_.EnumStaticClients(s, c, n);
  }
  int32_t GetStaticClient(Handle c, ClientEntry& e) override { return real_.GetStaticClient(c, e); }
  int32_t DeleteStaticClient(Handle s, Handle c) override {
    ++client_deletions_asked;
    return deletions ? -1 : Then(real_.DeleteStaticClient(s, c));
  }
  int32_t ModifyStaticClient(Handle c, const ClientEntry& e) override {
    return changes ? -1 : Then(real_.ModifyStaticClient(c, e));
  }
  int32_t AddOnlineClient(Handle s, const ClientEntry& e) override {
    return real_.AddOnlineClient(s, e);
  }
  int32_t EnumOnlineClients(Handle s, Handle c, Handle& n) override {
    return real_.EnumOnlineClients(s, c, n);
  }
  int32_t GetOnlineClient(Handle c, ClientEntry& e) override { return real_.GetOnlineClient(c, e); }
  int32_t DeleteOnlineClient(Handle s, Handle c) override { return real_.DeleteOnlineClient(s, c); }
  int32_t ModifyOnlineClient(Handle c, const ClientEntry& e) override {
    return real_.ModifyOnlineClient(c, e);
  }
  int32_t GetServerStats(Handle s, ServerStats& st) override { return real_.GetServerStats(s, st); }

  bool additions = true;
  bool deletions = false;
  bool changes = false;
  int additions_asked = 0;
  int client_deletions_asked = 0;
  std::function<void()> after_call;

 private:
  int32_t Then(int32_t result) {
    if (after_call) after_call();
    return result;
  }

  ManagementOperations& real_;
};

class LudraneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(state_);
    image_ = dir_ + "/disk.img";
    std::ofstream(image_).close();
    std::filesystem::resize_file(image_, 3 << 20);  // 3 MiB shows as 3 M
    machine_.disk_ = image_;
    StartService();
    client_ = std::make_unique<ManagementClient>(runtime_, 10s);
    document_ = std::make_unique<ServerDocument>(*client_);
    runner_ =
        std::make_unique<configurator::CommandRunner>(*document_, prompts_, defaults_, machine_);
    ASSERT_TRUE(WaitForAnswer(true));
    ASSERT_TRUE(document_->Probe());
  }
  void TearDown() override {
    runner_.reset();
    document_.reset();
    if (service_) StopService();
  }

  void StartService() {
    service_ = std::make_unique<Program>(
        std::vector<std::string>{QUENSARIA_PROGRAM, "--console", "--state-dir", state_,
                                 "--runtime-dir", runtime_},
        dir_ + "/service.log");
    ASSERT_TRUE(service_->started());
  }
  void StopService() {
    service_->Signal(SIGTERM);
    EXPECT_TRUE(service_->Wait(30s).has_value()) << "quensaria did not stop";
    service_.reset();
  }
  // Polls GetServiceName (generous limit) until it answers or not.
  bool WaitForAnswer(bool answers) {
    ManagementClient probe(runtime_, 2s);
    std::string name;
    for (int i = 0; i < 3000; ++i) {
      if ((probe.GetServiceName(1024, name) == 0) == answers) return true;
      QTest::qWait(10);
    }
    return false;
  }

  // Creates a server on a free port through the dialog, for `path`.
  Handle CreateThroughDialog(const std::string& path, uint16_t& port,
                             const std::function<void(ServerConfigDialog&)>& more = {}) {
    port = testing::FreePort();
    const size_t before = client_rows_or_servers();
    prompts_.script = [&](QDialog& dialog) {
      auto& d = dynamic_cast<ServerConfigDialog&>(dialog);
      d.SetSourceKind(SourceKind::kFile);
      d.path_edit()->setText(QString::fromStdString(path));
      d.TakeSizeFromFile();
      d.port_edit()->setText(QString::number(port));
      if (more) more(d);
      d.accept();
    };
    runner_->Run(configurator::kCmdCreateService, {});
    prompts_.script = nullptr;
    document_->ShowServerList();
    if (document_->server_rows().size() != before + 1) return 0;
    return document_->server_rows().back().handle;
  }
  // From here on the commands go to a service that refuses static clients.
  void RefuseStaticClients() {
    runner_.reset();
    document_.reset();
    refusing_ = std::make_unique<RefusingStaticClients>(*client_);
    document_ = std::make_unique<ServerDocument>(*refusing_);
    runner_ =
        std::make_unique<configurator::CommandRunner>(*document_, prompts_, defaults_, machine_);
    ASSERT_TRUE(document_->Probe());
  }
  size_t client_rows_or_servers() {
    document_->ShowServerList();
    return document_->server_rows().size();
  }
  ServerConfig Read(Handle server) {
    ServerConfig config{};
    EXPECT_EQ(client_->GetServer(server, config), 0);
    return config;
  }
  const ClientRow* RowOf(const char* address) {
    for (const ClientRow& row : document_->client_rows()) {
      if (row.texts[0] == address) return &row;
    }
    return nullptr;
  }
  // Adds clients through the add-client dialog.
  void AddClients(ClientKind kind, const char* start, const char* end = nullptr, int access = 0) {
    prompts_.script = [&](QDialog& dialog) {
      auto& d = dynamic_cast<AddClientDialog&>(dialog);
      d.SetKind(kind);
      if (start != nullptr) d.start_edit()->setText(start);
      if (end != nullptr) d.end_edit()->setText(end);
      d.access_list()->setCurrentIndex(access);
      d.accept();
    };
    runner_->Run(configurator::kCmdAddStaticClient, {});
    prompts_.script = nullptr;
  }

  // Creates a server through the dialog, shows its clients and adds these
  // through the add-client dialog, which takes them without a word.
  void CreateWithClients(Handle& server, ClientKind kind, const char* start,
                         const char* end = nullptr) {
    uint16_t port = 0;
    server = CreateThroughDialog(image_, port);
    ASSERT_NE(server, 0u);
    document_->ShowClients(server);
    AddClients(kind, start, end);
    ASSERT_TRUE(prompts_.messages.isEmpty()) << prompts_.messages.join("|").toStdString();
  }

  testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.path().string();
  const std::string state_ = dir_ + "/state";
  const std::string runtime_ = dir_ + "/run";
  std::string image_;
  std::unique_ptr<Program> service_;
  std::unique_ptr<ManagementClient> client_;
  std::unique_ptr<RefusingStaticClients> refusing_;
  RecordingPrompts prompts_{/*answer_yes_when_none_queued=*/false};
  ConfiguratorDefaults defaults_{QString::fromStdString(dir_ + "/Quensaria.conf")};
  TestMachine machine_;
  std::unique_ptr<ServerDocument> document_;
  std::unique_ptr<configurator::CommandRunner> runner_;
};

TEST_F(LudraneTest, CreateStartStopAndDeleteAServerThroughTheDialogs) {
  EXPECT_TRUE(IsCommandEnabled(configurator::kCmdCreateService, *document_, {}));
  uint16_t port = 0;
  const Handle server = CreateThroughDialog(image_, port);
  ASSERT_NE(server, 0u) << prompts_.messages.join("|").toStdString();
  EXPECT_TRUE(prompts_.messages.isEmpty());

  const ServerRow& row = document_->server_rows().back();
  EXPECT_EQ(row.texts[0], image_);
  EXPECT_EQ(row.texts[1], "0.0.0.0");
  EXPECT_EQ(row.texts[2], std::to_string(port));
  EXPECT_EQ(row.texts[3], "3 M");  // 3 MiB taken from the file, shown as 3 M
  EXPECT_EQ(row.texts[4], "100 M");
  EXPECT_EQ(row.texts[5], "已停止");
  // No defaults stored and the password half untouched: no password. The
  // log-on password is the empty one; the management password is not set.
  const ServerConfig config = Read(server);
  EXPECT_EQ(config.SizeBytes, 3 << 20);
  EXPECT_EQ(std::memcmp(config.Password, PasswordDigest("").data(), 20), 0);
  EXPECT_EQ(std::memcmp(config.ManagePassword, Sha1Digest{}.data(), 20), 0);

  // The automatic client: one static "Any Address" row at virtual write.
  document_->ShowClients(server);
  ASSERT_EQ(document_->client_rows().size(), 1u);
  const ClientRow& any = document_->client_rows()[0];
  EXPECT_EQ(any.texts[1], "任何地址");
  EXPECT_EQ(any.texts[2], "虚拟写保护");
  EXPECT_EQ(any.texts[3], "静态");

  // Start from the server list. The placeholder, known to everyone, neither
  // logs on nor lifts a connection; the empty password logs on at the level
  // of "Any Address", and nothing lifts it to full access.
  document_->ShowServerList();
  const Selection selected{{server}};
  EXPECT_TRUE(IsCommandEnabled(configurator::kCmdStart, *document_, selected));
  EXPECT_FALSE(IsCommandEnabled(configurator::kCmdStop, *document_, selected));
  runner_->Run(configurator::kCmdStart, selected);
  EXPECT_EQ(prompts_.wait_depth, 0);
  ASSERT_EQ(document_->server_rows().back().texts[5], "已启动");
  testing::BlockClient block;
  ASSERT_EQ(block.Connect(port), 0);
  EXPECT_EQ(block.Login("5820937164285039").reply.status, REPLY_DENIED);
  QueryData query{};
  EXPECT_EQ(block.Query(query).reply.status, REPLY_OK);
  EXPECT_EQ(query.access, ACCESS_REFUSED);
  block.Close();
  ASSERT_EQ(block.Connect(port), 0);
  EXPECT_EQ(block.Login("").reply.status, REPLY_OK);
  EXPECT_EQ(block.Query(query).reply.status, REPLY_OK);
  EXPECT_EQ(query.access, ACCESS_VIRTUAL_WRITE);
  const uint8_t sector[512] = {};
  EXPECT_EQ(block.Write(0, sector, sizeof sector).reply.status, REPLY_DENIED);
  block.Close();
  // Nor does a log-on with 20 zero bytes, the unset management password.
  ASSERT_EQ(block.Connect(port), 0);
  const uint8_t zeros[20] = {};
  uint8_t login[kRequestHeaderSize];
  EncodeLoginRequest(zeros, login);
  ASSERT_EQ(block.SendBytes(login, sizeof login), 0);
  EXPECT_EQ(block.ReceiveReply().reply.status, REPLY_DENIED);
  block.Close();

  // Stop from the server's client list (the shown server is the target).
  document_->ShowClients(server);
  EXPECT_TRUE(IsCommandEnabled(configurator::kCmdStop, *document_, {}));
  runner_->Run(configurator::kCmdStop, {});
  EXPECT_EQ(Read(server).Started, 0);

  // Delete: No keeps it; Yes deletes it and leaves an empty client list.
  prompts_.answers = {false};
  runner_->Run(configurator::kCmdDeleteService, {});
  EXPECT_EQ(Read(server).SizeBytes, 3 << 20);
  prompts_.answers = {true};
  const int trees = document_->tree_refreshes();
  runner_->Run(configurator::kCmdDeleteService, {});
  ASSERT_EQ(prompts_.questions.size(), 2);
  EXPECT_EQ(
      prompts_.questions[1].toStdString(),
      "Are you sure: After deleted this server, all the clients connect to this server will be "
      "ejected, remove it anyway?");
  ServerConfig gone{};
  EXPECT_EQ(client_->GetServer(server, gone), -1);
  EXPECT_TRUE(document_->client_rows().empty());
  EXPECT_EQ(document_->tree_refreshes(), trees + 1);
  EXPECT_TRUE(document_->tree_entries().empty());
}

// A typed relative path names a file from where ludrane runs; the service,
// whose working directory is another, is sent the whole path and serves it.
// A new server whose automatic "Any Address" client the service refused is
// made, and the user is told it has no such client.
TEST_F(LudraneTest, AnAutomaticClientTheServiceRefusesIsReported) {
  RefuseStaticClients();
  uint16_t port = 0;
  const Handle server = CreateThroughDialog(image_, port);
  ASSERT_NE(server, 0u);
  EXPECT_EQ(Read(server).Port, port);
  ASSERT_EQ(prompts_.messages.size(), 1) << "the refused client went unmentioned";
  EXPECT_EQ(prompts_.messages[0].toStdString(),
            "The server was created, but the service did not add its \"Any Address\" client.");
  document_->ShowClients(server);
  EXPECT_TRUE(document_->client_rows().empty());
}

TEST_F(LudraneTest, ARelativePathTypedInTheDialogIsSentWhole) {
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  uint16_t port = 0;
  const Handle server = CreateThroughDialog("disk.img", port);
  std::filesystem::current_path(before);
  ASSERT_NE(server, 0u) << prompts_.messages.join("|").toStdString();
  EXPECT_STREQ(Read(server).Source, image_.c_str());
  runner_->Run(configurator::kCmdStart, {{server}});
  EXPECT_NE(Read(server).Started, 0);
}

TEST_F(LudraneTest, CreateDialogRefusalsKeepItOpenAndCreateNothing) {
  const auto attempt = [&](const std::function<void(ServerConfigDialog&)>& fill) {
    prompts_.messages.clear();
    bool stayed_open = false;
    prompts_.script = [&](QDialog& dialog) {
      auto& d = dynamic_cast<ServerConfigDialog&>(dialog);
      d.SetSourceKind(SourceKind::kFile);
      d.path_edit()->setText(QString::fromStdString(image_));
      d.size_edit()->setText("1");
      fill(d);
      d.accept();
      stayed_open = d.result() != QDialog::Accepted;
    };
    runner_->Run(configurator::kCmdCreateService, {});
    EXPECT_TRUE(stayed_open);
    return prompts_.messages.join("|").toStdString();
  };
  // A typed login password with a different confirmation.
  EXPECT_EQ(attempt([](ServerConfigDialog& d) {
              QTest::mouseClick(d.password_button(), Qt::LeftButton);
              EXPECT_EQ(d.password_button()->text(), "密码[&P]<<");
              d.login_edit()->clear();
              QTest::keyClicks(d.login_edit(), "secret");
              d.login_confirm_edit()->setText("Secret");
            }),
            "Password and confirm password is not the same, please re-enter");
  EXPECT_EQ(attempt([](ServerConfigDialog& d) { d.cache_edit()->setText("1025"); }),
            "Please enter an integer between 0 and 1024.");
  EXPECT_EQ(attempt([](ServerConfigDialog& d) { d.size_edit()->setText("12x"); }),
            "Please enter an integer.");
  EXPECT_EQ(attempt([](ServerConfigDialog& d) { d.port_edit()->setText("70000"); }),
            "Please enter an integer between 1 and 65535.");
  EXPECT_EQ(attempt([](ServerConfigDialog& d) { d.path_edit()->setText("/" + QString(259, 'p')); }),
            "The source path is too long: at most 259 bytes can be served.");
  // What could never start: a file that is not there, a port of another export.
  const std::string missing = dir_ + "/missing.img";
  EXPECT_EQ(attempt([&](ServerConfigDialog& d) {
              d.path_edit()->setText(QString::fromStdString(missing));
            }),
            "The source " + missing + " does not exist: choose an existing image file or device.");
  document_->ShowServerList();
  EXPECT_TRUE(document_->server_rows().empty());
  uint16_t taken = 0;
  const Handle first = CreateThroughDialog(image_, taken);
  ASSERT_NE(first, 0u);
  EXPECT_EQ(attempt([&](ServerConfigDialog& d) { d.port_edit()->setText(QString::number(taken)); }),
            "Port " + std::to_string(taken) + " is already used by the export 0.0.0.0:" +
                std::to_string(taken) + " (" + image_ + "): choose another port.");
  document_->ShowServerList();
  ASSERT_EQ(document_->server_rows().size(), 1u);
  prompts_.answers = {true};
  runner_->Run(configurator::kCmdDeleteService, {{first}});
  document_->ShowServerList();
  EXPECT_TRUE(document_->server_rows().empty());

  // The service went away after the last probe: the call fails like a
  // refused creation.
  StopService();
  prompts_.messages.clear();
  prompts_.script = [&](QDialog& dialog) {
    auto& d = dynamic_cast<ServerConfigDialog&>(dialog);
    d.SetSourceKind(SourceKind::kFile);
    d.path_edit()->setText(QString::fromStdString(image_));
    d.accept();
  };
  runner_->Run(configurator::kCmdCreateService, {});
  ASSERT_EQ(prompts_.messages.size(), 1);
  EXPECT_EQ(
      prompts_.messages[0].toStdString(),
      "Can not create this service , you have no privilege to create or the service with same IP "
      "address and port is already exists.");
}

TEST_F(LudraneTest, DeviceKindsListThisMachineAndSendTheDevicePath) {
  ServerConfigDialog dialog(prompts_, defaults_, machine_);
  EXPECT_EQ(dialog.windowTitle(), "Create Service");
  EXPECT_EQ(dialog.source_kind(), SourceKind::kPartition);  // the default kind
  EXPECT_EQ(dialog.address_list()->itemText(0), "Any");
  EXPECT_EQ(dialog.address_list()->itemText(1), "10.20.30.40");
  EXPECT_FALSE(dialog.password_half_shown());
  // The password half doubles the width and halves it again.
  const int narrow = dialog.width();
  QTest::mouseClick(dialog.password_button(), Qt::LeftButton);
  EXPECT_TRUE(dialog.password_half_shown());
  EXPECT_EQ(dialog.width(), narrow * 2);
  EXPECT_EQ(dialog.password_button()->text(), "密码[&P]<<");
  QTest::mouseClick(dialog.password_button(), Qt::LeftButton);
  EXPECT_EQ(dialog.width(), narrow);
  EXPECT_EQ(dialog.password_button()->text(), "密码[&P]>>");
  dialog.SetSourceKind(SourceKind::kPhysicalDisk);
  ASSERT_EQ(dialog.device_list()->count(), 1);
  EXPECT_EQ(dialog.device_list()->itemText(0), "fake0  4 MiB");
  EXPECT_EQ(dialog.size_edit()->text(), "3");
  EXPECT_EQ(dialog.unit_list()->currentText(), "M");
  EXPECT_FALSE(dialog.size_edit()->isEnabled());
  EXPECT_FALSE(dialog.browse_button()->isEnabled());
  dialog.address_list()->setCurrentIndex(1);
  dialog.accept();
  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(SourceOf(dialog.config()), image_);
  EXPECT_EQ(dialog.config().SizeBytes, 3 << 20);
  EXPECT_EQ(configurator::AddressText(dialog.config().IpAddress), "10.20.30.40");

  // The browse button goes through the prompts with the image filter.
  ServerConfigDialog file_dialog(prompts_, defaults_, machine_);
  file_dialog.SetSourceKind(SourceKind::kFile);
  prompts_.next_file = QString::fromStdString(image_);
  QTest::mouseClick(file_dialog.browse_button(), Qt::LeftButton);
  EXPECT_EQ(prompts_.filters.value(0), "Standard Image Files (*.img);;All Files (*)");
  EXPECT_EQ(file_dialog.path_edit()->text().toStdString(), image_);
  EXPECT_EQ(file_dialog.size_edit()->text(), "3");
}

TEST_F(LudraneTest, ASourceWhoseSizeCannotBeReadIsNotGivenTheSizeOfTheOneBefore) {
  // A second disk that cannot be opened (no rights to it, say).
  class TwoDisks : public TestMachine {
   public:
    std::vector<configurator::DeviceChoice> WholeDisks() override {
      return {{disk_, "fake0  3 MiB"}, {closed_, "fake1"}};
    }
    std::optional<uint64_t> SizeOf(const std::string& path) override {
      if (path == closed_) return std::nullopt;
      return TestMachine::SizeOf(path);
    }
    std::string closed_;
  } machine;
  machine.disk_ = image_;
  machine.closed_ = dir_ + "/closed.img";
  std::ofstream(machine.closed_).close();
  std::filesystem::resize_file(machine.closed_, 5 << 20);

  ServerConfigDialog dialog(prompts_, defaults_, machine);
  dialog.SetSourceKind(SourceKind::kPhysicalDisk);
  ASSERT_EQ(dialog.device_list()->count(), 2);
  EXPECT_EQ(dialog.size_edit()->text(), "3");
  dialog.device_list()->setCurrentIndex(1);
  EXPECT_EQ(dialog.size_edit()->text(), "0");
  dialog.accept();
  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(SourceOf(dialog.config()), machine.closed_);
  EXPECT_EQ(dialog.config().SizeBytes, 0) << "the first disk's size was recorded for the second";

  // So is an image file after another one whose size was read.
  ServerConfigDialog file_dialog(prompts_, defaults_, machine);
  file_dialog.SetSourceKind(SourceKind::kFile);
  file_dialog.path_edit()->setText(QString::fromStdString(image_));
  file_dialog.TakeSizeFromFile();
  EXPECT_EQ(file_dialog.size_edit()->text(), "3");
  file_dialog.path_edit()->setText(QString::fromStdString(machine.closed_));
  file_dialog.TakeSizeFromFile();
  EXPECT_EQ(file_dialog.size_edit()->text(), "0");
  file_dialog.accept();
  ASSERT_EQ(file_dialog.result(), QDialog::Accepted);
  EXPECT_EQ(file_dialog.config().SizeBytes, 0)
      << "the first file's size was recorded for the second";
}

// A file of 1 KiB or less, chosen after a larger one, shows its own size in
// K (no larger unit fits it), never the size of the file before.
TEST_F(LudraneTest, AFileOfOneKibOrLessIsNotGivenTheSizeOfTheOneBefore) {
  const std::string kib = dir_ + "/one-kib.img";
  const std::string small = dir_ + "/small.img";
  std::ofstream(kib) << std::string(1024, 'k');
  std::ofstream(small) << std::string(500, 's');

  ServerConfigDialog dialog(prompts_, defaults_, machine_);
  dialog.SetSourceKind(SourceKind::kFile);
  for (const auto& [path, size, unit] : {std::tuple{kib, "1", "K"}, std::tuple{small, "0", "K"}}) {
    dialog.path_edit()->setText(QString::fromStdString(image_));
    dialog.TakeSizeFromFile();
    ASSERT_EQ(dialog.size_edit()->text(), "3");
    ASSERT_EQ(dialog.unit_list()->currentText(), "M");
    dialog.path_edit()->setText(QString::fromStdString(path));
    dialog.TakeSizeFromFile();
    EXPECT_EQ(
        dialog.size_edit()->text().toStdString() + dialog.unit_list()->currentText().toStdString(),
        std::string(size) + unit)
        << path;
  }
  dialog.accept();
  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(SourceOf(dialog.config()), small);
  EXPECT_EQ(dialog.config().SizeBytes, 0) << "the 3 MiB file's size was recorded for " << small;
}

// A digest logs on as well as its password: the defaults' file is no other
// user's to read, whether Options makes it or finds it readable by all, and
// a group its administrator gave it keeps it.
TEST(ConfiguratorDefaultsTest, TheDigestsAreReadableByNoOtherUser) {
  testing::ScratchDir scratch;
  const std::string made = scratch.File("xdg/Ostravin/Quensaria.conf");
  ConfiguratorDefaults fresh(QString::fromStdString(made));
  fresh.SetManagePassword(PasswordDigest("boss"));
  ASSERT_EQ(fresh.ManagePassword(), PasswordDigest("boss"));
  struct stat st;
  ASSERT_EQ(::stat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0007, 0u) << std::oct << (st.st_mode & 0777);
  // The managers read a file made by root (where the group exists).
  const uint32_t managers = platform::GroupId("quensaria", static_cast<uint32_t>(-1));
  if (::geteuid() == 0 && managers != static_cast<uint32_t>(-1)) {
    EXPECT_EQ(st.st_gid, managers);
  }

  const std::string found = scratch.File("Quensaria.conf");
  std::ofstream(found) << "[General]\n";
  ASSERT_EQ(::chmod(found.c_str(), 0664), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(found.c_str(), static_cast<uid_t>(-1), 4321), 0);
  }
  ConfiguratorDefaults old(QString::fromStdString(found));
  old.SetLoginPassword(PasswordDigest("open sesame"));
  ASSERT_EQ(old.LoginPassword(), PasswordDigest("open sesame"));
  ASSERT_EQ(::stat(found.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u) << std::oct << (st.st_mode & 0777);
  if (root) {
    EXPECT_EQ(st.st_gid, 4321u);
  }
}

// A file readable by all that the writer may not make private (another
// user's, in a folder the writer may write) gets no digest: written, it
// would stay readable by all.
TEST(ConfiguratorDefaultsTest, AFileThatCannotBeMadePrivateGetsNoDigest) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  testing::ScratchDir scratch;
  ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);
  const std::string folder = scratch.File("shared");
  ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  const std::string found = folder + "/Quensaria.conf";
  std::ofstream(found) << "[General]\n";
  ASSERT_EQ(::chmod(found.c_str(), 0666), 0);  // root's, writable by all
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(3);
    ConfiguratorDefaults defaults(QString::fromStdString(found));
    // The digest kept out is a default not saved: said as such.
    _exit(defaults.SetLoginPassword(PasswordDigest("open sesame")) ? 4 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  struct stat st;
  ASSERT_EQ(::stat(found.c_str(), &st), 0);
  std::ifstream in(found);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const bool holds_digest = text.find("LoginPassword") != std::string::npos;
  EXPECT_FALSE(holds_digest && (st.st_mode & 0004) != 0)
      << "a digest readable by all, mode " << std::oct << (st.st_mode & 0777) << ":\n"
      << text;
}

using testing::UnderFileSizeLimit;

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Defaults that cannot be written whole (a full disk) keep those saved: the
// file is not replaced by a cut one that loses the default passwords, the
// write says it failed, and nothing is left beside the file. Written, the
// file keeps its mode and group.
TEST(ConfiguratorDefaultsTest, AWriteThatCannotBeCompletedKeepsTheDefaultsAndSaysSo) {
  testing::ScratchDir scratch;
  const std::string folder = scratch.File("xdg/Ostravin");
  const std::string file = folder + "/Quensaria.conf";
  ConfiguratorDefaults defaults(QString::fromStdString(file));
  ASSERT_TRUE(defaults.SetLoginPassword(PasswordDigest("log on")));
  ASSERT_TRUE(defaults.SetManagePassword(PasswordDigest("manage")));
  ASSERT_TRUE(defaults.SetAutoAddClient(false));
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << std::oct << (st.st_mode & 0777);
  // A group given to the file stays through a write: the writer's own
  // where it may give no other.
  gid_t group = st.st_gid;
  if (::geteuid() == 0) {
    group = 4321;
    ASSERT_EQ(::chown(file.c_str(), static_cast<uid_t>(-1), group), 0);
  }
  const std::string before = FileText(file);
  ASSERT_GT(before.size(), 100u);

  const rlim_t limit = before.size() / 2;
  EXPECT_FALSE(UnderFileSizeLimit(limit, [&] {
    return defaults.SetLoginPassword(PasswordDigest("other"));
  })) << "a cut defaults file was reported as written";
  EXPECT_EQ(FileText(file), before);
  EXPECT_FALSE(UnderFileSizeLimit(
      limit, [&] { return defaults.SetManagePassword(PasswordDigest("other")); }));
  EXPECT_FALSE(UnderFileSizeLimit(limit, [&] { return defaults.SetAutoAddClient(true); }));
  EXPECT_EQ(FileText(file), before);
  EXPECT_EQ(QDir(QString::fromStdString(folder))
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{"Quensaria.conf"});
  EXPECT_EQ(defaults.LoginPassword(), PasswordDigest("log on"));
  EXPECT_EQ(defaults.ManagePassword(), PasswordDigest("manage"));
  EXPECT_FALSE(defaults.AutoAddClient());
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << std::oct << (st.st_mode & 0777);
  EXPECT_EQ(st.st_gid, group);

  // With room again, the write goes through; mode and group stay.
  ASSERT_TRUE(defaults.SetLoginPassword(PasswordDigest("other")));
  EXPECT_EQ(defaults.LoginPassword(), PasswordDigest("other"));
  EXPECT_EQ(defaults.ManagePassword(), PasswordDigest("manage"));
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << std::oct << (st.st_mode & 0777);
  EXPECT_EQ(st.st_gid, group);
  EXPECT_EQ(QDir(QString::fromStdString(folder))
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{"Quensaria.conf"});
}

TEST_F(LudraneTest, OptionsGiveNewServersTheirDefaults) {
  EXPECT_TRUE(defaults_.AutoAddClient());  // absent counts as on
  prompts_.script = [](QDialog& dialog) {
    auto& d = dynamic_cast<OptionsDialog&>(dialog);
    EXPECT_TRUE(d.auto_add_box()->isChecked());
    d.auto_add_box()->setChecked(false);
    d.login_edit()->clear();
    QTest::keyClicks(d.login_edit(), "default login");
    d.accept();
  };
  runner_->Run(configurator::kCmdOptions, {});
  EXPECT_FALSE(defaults_.AutoAddClient());
  ASSERT_TRUE(defaults_.LoginPassword().has_value());
  EXPECT_EQ(*defaults_.LoginPassword(), PasswordDigest("default login"));
  EXPECT_FALSE(defaults_.ManagePassword().has_value());  // not edited, not stored
  QFile file(defaults_.file());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray ini = file.readAll();
  EXPECT_TRUE(ini.contains("AutoAddClient=@ByteArray(")) << ini.toStdString();
  EXPECT_TRUE(ini.contains("LoginPassword=@ByteArray(")) << ini.toStdString();

  uint16_t port = 0;
  const Handle server = CreateThroughDialog(image_, port);
  ASSERT_NE(server, 0u);
  const ServerConfig config = Read(server);
  EXPECT_EQ(std::memcmp(config.Password, PasswordDigest("default login").data(), 20), 0);
  EXPECT_EQ(std::memcmp(config.ManagePassword, Sha1Digest{}.data(), 20), 0);
  document_->ShowClients(server);
  EXPECT_TRUE(document_->client_rows().empty());  // no automatic client

  // A default that cannot be written changes nothing, and says so.
  ConfiguratorDefaults unwritable(
      QString::fromStdString(image_ + "/Quensaria.conf"));  // under a file
  EXPECT_FALSE(unwritable.SetAutoAddClient(false));
  EXPECT_FALSE(QFile::exists(unwritable.file()));
}

// Options whose defaults could not be written say so when the dialog
// closes: quiet, the administrator takes them for saved. Saved, they say
// nothing.
TEST_F(LudraneTest, OptionsThatCannotBeSavedAreSaid) {
  const auto set_defaults = [](QDialog& dialog) {
    auto& d = dynamic_cast<OptionsDialog&>(dialog);
    d.auto_add_box()->setChecked(false);
    d.login_edit()->clear();
    QTest::keyClicks(d.login_edit(), "default login");
    d.accept();
  };
  ConfiguratorDefaults unwritable(
      QString::fromStdString(image_ + "/Quensaria.conf"));  // under a file
  configurator::CommandRunner runner(*document_, prompts_, unwritable, machine_);
  prompts_.script = set_defaults;
  runner.Run(configurator::kCmdOptions, {});
  EXPECT_EQ(prompts_.messages.join('|').toStdString(),
            "The defaults could not be saved in " + image_ + "/Quensaria.conf.");
  EXPECT_FALSE(QFile::exists(unwritable.file()));

  prompts_.messages.clear();
  prompts_.script = set_defaults;
  runner_->Run(configurator::kCmdOptions, {});
  prompts_.script = nullptr;
  EXPECT_TRUE(prompts_.messages.isEmpty()) << prompts_.messages.join('|').toStdString();
  EXPECT_EQ(defaults_.LoginPassword(), PasswordDigest("default login"));
}

TEST_F(LudraneTest, StaticClientsAddedChangedAndDeleted) {
  uint16_t port = 0;
  const Handle server = CreateThroughDialog(image_, port);
  ASSERT_NE(server, 0u);
  document_->ShowClients(server);
  EXPECT_TRUE(IsCommandEnabled(configurator::kCmdAddStaticClient, *document_, {}));

  // A second "Any Address" is refused with the service's text, dialog open.
  AddClients(ClientKind::kAny, nullptr);
  ASSERT_EQ(prompts_.messages.size(), 1);
  EXPECT_EQ(prompts_.messages[0],
            "A client with same address is already in the static client list");
  prompts_.messages.clear();

  AddClients(ClientKind::kAddress, "10.0.0.9", nullptr, 1);  // Full Access
  // A range holds both of its ends.
  AddClients(ClientKind::kRange, "10.0.0.1", "10.0.0.4");
  AddClients(ClientKind::kRange, "10.0.1.9", "10.0.1.10");
  EXPECT_TRUE(prompts_.messages.isEmpty()) << prompts_.messages.join("|").toStdString();
  ASSERT_EQ(document_->client_rows().size(), 8u);
  EXPECT_EQ(RowOf("10.0.0.9")->texts[2], "完全控制");
  for (const char* address :
       {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.1.9", "10.0.1.10"}) {
    ASSERT_NE(RowOf(address), nullptr) << address;
    EXPECT_EQ(RowOf(address)->texts[2], "虚拟写保护");
  }
  // What is not an address is refused with a message as typed, never cut
  // down to another address; nor is a range too large to add.
  prompts_.script = [&](QDialog& dialog) {
    auto& d = dynamic_cast<AddClientDialog&>(dialog);
    d.SetKind(ClientKind::kAddress);
    d.start_edit()->clear();
    QTest::keyClicks(d.start_edit(), "999.1.1.1");
    EXPECT_EQ(d.start_edit()->text(), "999.1.1.1");
    d.accept();
    EXPECT_NE(d.result(), QDialog::Accepted);
    d.SetKind(ClientKind::kRange);
    d.start_edit()->setText("10.2.0.0");
    d.end_edit()->setText("10.2.255.255");
    d.accept();
    EXPECT_NE(d.result(), QDialog::Accepted);
  };
  runner_->Run(configurator::kCmdAddStaticClient, {});
  prompts_.script = nullptr;
  ASSERT_EQ(prompts_.messages.size(), 2);
  EXPECT_EQ(prompts_.messages[0].toStdString(), configurator::AddressRefusal("999.1.1.1"));
  EXPECT_EQ(prompts_.messages[1].toStdString(),
            "The range holds 65536 addresses; at most 1024 can be added at once.");
  EXPECT_EQ(RowOf("99.1.1.1"), nullptr);
  EXPECT_EQ(document_->client_rows().size(), 8u);
  prompts_.messages.clear();
  // "0.0.0.0" typed as one address cannot have full access either.
  AddClients(ClientKind::kAddress, "0.0.0.0", nullptr, 1);
  EXPECT_EQ(prompts_.messages.value(0).toStdString(), configurator::kAnyNotFull);
  prompts_.messages.clear();

  // Full access on "Any Address" and one address: the message once.
  const Handle any = document_->client_rows()[0].handle;
  const Handle first = RowOf("10.0.0.1")->handle;
  const Selection both{{any, first}};
  EXPECT_TRUE(IsCommandEnabled(configurator::kCmdFullAccess, *document_, both));
  runner_->Run(configurator::kCmdFullAccess, both);
  ASSERT_EQ(prompts_.messages.size(), 1);
  EXPECT_EQ(prompts_.messages[0].toStdString(),
            "Only specifically ip address can change access mode to full access, but the \"Any "
            "Address\" can't. ");
  EXPECT_EQ(document_->client_rows()[0].texts[2], "虚拟写保护");
  EXPECT_EQ(RowOf("10.0.0.1")->texts[2], "完全控制");
  runner_->Run(configurator::kCmdRefuseAccess, both);
  EXPECT_EQ(document_->client_rows()[0].texts[2], "拒绝访问");
  EXPECT_EQ(RowOf("10.0.0.1")->texts[2], "拒绝访问");
  runner_->Run(configurator::kCmdAccessMode, {{first}});  // the tool bar button
  EXPECT_EQ(RowOf("10.0.0.1")->texts[2], "虚拟写保护");

  // Delete two of them.
  const Selection two{{first, RowOf("10.0.0.2")->handle}};
  EXPECT_FALSE(IsCommandEnabled(configurator::kCmdDeleteClient, *document_, {}));
  EXPECT_FALSE(IsCommandEnabled(configurator::kCmdAddToStaticList, *document_, two));
  runner_->Run(configurator::kCmdDeleteClient, two);
  EXPECT_EQ(document_->client_rows().size(), 6u);
  EXPECT_EQ(RowOf("10.0.0.1"), nullptr);
  EXPECT_EQ(RowOf("10.0.0.2"), nullptr);
  EXPECT_NE(RowOf("10.0.0.3"), nullptr);
  // Client commands need a client list.
  document_->ShowServerList();
  EXPECT_FALSE(IsCommandEnabled(configurator::kCmdAddStaticClient, *document_, {}));
  EXPECT_FALSE(IsCommandEnabled(configurator::kCmdDeleteClient, *document_, {{server}}));
}

TEST_F(LudraneTest, ARangeOverAnAddressAlreadyListedAddsTheRestAndSaysSo) {
  Handle server = 0;
  ASSERT_NO_FATAL_FAILURE(CreateWithClients(server, ClientKind::kAddress, "10.0.3.2"));

  // The duplicate lies inside the range, not at its end.
  AddClients(ClientKind::kRange, "10.0.3.1", "10.0.3.3");
  ASSERT_EQ(prompts_.messages.size(), 1) << "the refused address in the range went unmentioned";
  EXPECT_EQ(prompts_.messages[0],
            "A client with same address is already in the static client list");
  // The dialog was left with Cancel; the list shows the addresses that went in.
  int listed_twice = 0;
  for (const char* address : {"10.0.3.1", "10.0.3.2", "10.0.3.3"}) {
    EXPECT_NE(RowOf(address), nullptr) << address;
  }
  for (const ClientRow& row : document_->client_rows()) {
    if (row.texts[0] == "10.0.3.2") ++listed_twice;
  }
  EXPECT_EQ(listed_twice, 1);
}

TEST_F(LudraneTest, AnAccessChangeGoesPastASelectedClientThatHasGone) {
  Handle server = 0;
  ASSERT_NO_FATAL_FAILURE(CreateWithClients(server, ClientKind::kRange, "10.0.4.1", "10.0.4.3"));
  const Selection three{
      {RowOf("10.0.4.1")->handle, RowOf("10.0.4.2")->handle, RowOf("10.0.4.3")->handle}};
  // Deleted elsewhere after the list was shown.
  ASSERT_EQ(client_->DeleteStaticClient(server, three.handles[1]), 0);
  runner_->Run(configurator::kCmdFullAccess, three);
  for (const Handle client : {three.handles[0], three.handles[2]}) {
    ClientEntry entry{};
    ASSERT_EQ(client_->GetStaticClient(client, entry), 0);
    EXPECT_EQ(entry.access, ACCESS_FULL) << "client " << client << " was left as it was";
  }
  // The list shows what the service holds now.
  EXPECT_EQ(document_->client_rows().size(), 3u);
  EXPECT_EQ(RowOf("10.0.4.3")->texts[2], "完全控制");
}

// An access change the service does not make is said, once per command.
TEST_F(LudraneTest, AnAccessChangeTheServiceRefusesIsReported) {
  Handle server = 0;
  ASSERT_NO_FATAL_FAILURE(CreateWithClients(server, ClientKind::kRange, "10.0.6.1", "10.0.6.2"));
  const Selection both{{RowOf("10.0.6.1")->handle, RowOf("10.0.6.2")->handle}};
  RefuseStaticClients();
  refusing_->changes = true;
  document_->ShowClients(server);
  runner_->Run(configurator::kCmdFullAccess, both);
  EXPECT_EQ(prompts_.messages.join("|").toStdString(),
            "The service did not change the client's access.")
      << "the access left as it was went unmentioned";
  EXPECT_EQ(RowOf("10.0.6.1")->texts[2], "虚拟写保护");
}

TEST_F(LudraneTest, AnOnlineClientIsCopiedIntoTheStaticList) {
  uint16_t port = 0;
  const Handle server = CreateThroughDialog(image_, port);
  ASSERT_NE(server, 0u);
  runner_->Run(configurator::kCmdStart, {{server}});
  ASSERT_EQ(Read(server).Started, 1);

  // Another machine (127.0.0.5) logs on through "Any Address".
  testing::BlockClient block;
  ASSERT_EQ(block.Connect(port, inet_addr("127.0.0.5")), 0);
  ASSERT_EQ(block.Login("").reply.status, REPLY_OK);
  document_->ShowClients(server);
  for (int i = 0; i < 500 && RowOf("127.0.0.5") == nullptr; ++i) {
    QTest::qWait(10);
    document_->RefreshView();
  }
  const ClientRow* online = RowOf("127.0.0.5");
  ASSERT_NE(online, nullptr);
  EXPECT_EQ(online->texts[3], "在线");
  const Handle online_handle = online->handle;
  const Handle any = document_->client_rows()[0].handle;
  EXPECT_FALSE(IsCommandEnabled(configurator::kCmdAddToStaticList, *document_, {{any}}));
  EXPECT_TRUE(
      IsCommandEnabled(configurator::kCmdAddToStaticList, *document_, {{any, online_handle}}));
  EXPECT_FALSE(
      IsCommandEnabled(configurator::kCmdDeleteClient, *document_, {{any, online_handle}}));

  runner_->Run(configurator::kCmdAddToStaticList, {{any, online_handle}});
  int static_rows = 0;
  bool copied = false;
  for (const ClientRow& row : document_->client_rows()) {
    if (!row.is_static()) continue;
    ++static_rows;
    copied = copied || row.texts[0] == "127.0.0.5";
  }
  EXPECT_EQ(static_rows, 2);
  EXPECT_TRUE(copied);
  // The static rows come first.
  EXPECT_TRUE(document_->client_rows()[0].is_static());
  EXPECT_TRUE(document_->client_rows()[1].is_static());
}

// An online client the service will not copy (its address is in the static
// list already, put there elsewhere) is named with the service's reason; the
// others selected with it are copied.
TEST_F(LudraneTest, AnOnlineClientTheServiceWillNotCopyIsReported) {
  uint16_t port = 0;
  const Handle server = CreateThroughDialog(image_, port);
  ASSERT_NE(server, 0u);
  for (const char* address : {"127.0.0.6", "127.0.0.7"}) {
    ClientEntry online{};
    online.address = inet_addr(address);
    online.access = ACCESS_VIRTUAL_WRITE;
    online.state = kClientLoggedOn;
    online.nameState = kNameUnknown;
    ASSERT_EQ(client_->AddOnlineClient(server, online), 0);
  }
  document_->ShowClients(server);
  Selection online;
  for (const ClientRow& row : document_->client_rows()) {
    if (row.online()) online.handles.push_back(row.handle);
  }
  ASSERT_EQ(online.handles.size(), 2u);
  ClientEntry listed{};
  listed.address = inet_addr("127.0.0.6");
  listed.access = ACCESS_FULL;
  ASSERT_EQ(client_->AddStaticClient(server, listed), 0);

  runner_->Run(configurator::kCmdAddToStaticList, online);
  ASSERT_EQ(prompts_.messages.size(), 1) << "the client not copied went unmentioned";
  EXPECT_EQ(prompts_.messages[0],
            "A client with same address is already in the static client list");
  std::vector<std::string> copied;
  for (const ClientRow& row : document_->client_rows()) {
    if (row.is_static()) copied.push_back(row.texts[0] + " " + row.texts[2]);
  }
  EXPECT_EQ(copied, (std::vector<std::string>{"0.0.0.0 虚拟写保护", "127.0.0.6 完全控制",
                                              "127.0.0.7 虚拟写保护"}));
}

// Each online client shows the level its own log-on left it at, in the
// window's list and in ludrane-cli's.
// Once the service has resolved a client's host name, the next refresh
// shows it instead of "正在解析计算机名...".
TEST_F(LudraneTest, AResolvedHostNameReplacesResolvingAtTheNextRefresh) {
  uint16_t port = 0;
  const Handle server = CreateThroughDialog(image_, port);
  ASSERT_NE(server, 0u);
  document_->ShowClients(server);
  AddClients(ClientKind::kAddress, "127.0.0.1");
  ASSERT_NE(RowOf("127.0.0.1"), nullptr);
  EXPECT_EQ(RowOf("127.0.0.1")->texts[1], "正在解析计算机名...");
  // The service looks names up at its own pace (a pass every few seconds).
  for (int i = 0; i < 600 && RowOf("127.0.0.1")->texts[1] == "正在解析计算机名..."; ++i) {
    QTest::qWait(100);
    document_->RefreshView();
  }
  const std::string name = RowOf("127.0.0.1")->texts[1];
  EXPECT_NE(name, "正在解析计算机名...");
  const std::optional<std::string> expected = platform::LookUpHostName(inet_addr("127.0.0.1"));
  EXPECT_EQ(name, expected.value_or("无法解析计算机名"));
}

std::array<uint8_t, kDigestSize> KeyOf(const std::string& password) {
  std::array<uint8_t, kDigestSize> key{};
  std::memcpy(key.data(), PasswordDigest(password).data(), kDigestSize);
  return key;
}

// The TLS box, through the real service: a TLS export takes TLS clients by
// identity and tells plain ones so; without a log-on password the dialog
// asks first. ludrane-cli shows and makes the same.
TEST_F(LudraneTest, TheTlsBoxMakesATlsExportAndAnEmptyLogOnPasswordIsAskedAbout) {
  uint16_t port = 0;
  prompts_.answers = {false};
  EXPECT_EQ(CreateThroughDialog(image_, port,
                                [](ServerConfigDialog& d) { d.tls_check()->setChecked(true); }),
            0u);
  ASSERT_EQ(prompts_.questions.size(), 1);
  EXPECT_NE(prompts_.questions[0].indexOf("empty log-on password"), -1)
      << prompts_.questions[0].toStdString();

  const Handle server = CreateThroughDialog(image_, port, [](ServerConfigDialog& d) {
    d.tls_check()->setChecked(true);
    d.login_edit()->clear();
    QTest::keyClicks(d.login_edit(), "secret");
    d.login_confirm_edit()->setText("secret");
    d.manage_edit()->clear();
    QTest::keyClicks(d.manage_edit(), "boss");
    d.manage_confirm_edit()->setText("boss");
  });
  ASSERT_NE(server, 0u) << prompts_.messages.join("|").toStdString();
  EXPECT_EQ(prompts_.questions.size(), 1);  // nothing more to ask
  EXPECT_EQ(Read(server).AuthMode, AUTH_MODE_TLS);
  runner_->Run(configurator::kCmdStart, {{server}});
  ASSERT_EQ(Read(server).Started, 1);

  testing::BlockClient login, manage;
  ASSERT_EQ(login.ConnectTls(port, kTlsIdentityLogin, KeyOf("secret")), 0);
  QueryData query{};
  ASSERT_EQ(login.Query(query).reply.status, REPLY_OK);
  EXPECT_EQ(query.access, ACCESS_VIRTUAL_WRITE);
  ASSERT_EQ(manage.ConnectTls(port, kTlsIdentityManage, KeyOf("boss")), 0);
  ASSERT_EQ(manage.Query(query).reply.status, REPLY_OK);
  EXPECT_EQ(query.access, ACCESS_FULL);
  testing::BlockClient wrong;
  EXPECT_EQ(wrong.ConnectTls(port, kTlsIdentityLogin, KeyOf("boss")), EACCES);
  testing::BlockClient plain;
  ASSERT_EQ(plain.Connect(port), 0);
  EXPECT_EQ(plain.Login("secret").reply.status, REPLY_TLS_REQUIRED);

  // ludrane-cli: the AUTH column and "auth", and --tls with its warning.
  testing::ProgramResult listed =
      testing::RunProgram({LUDRANE_CLI, "--runtime-dir", runtime_, "list-servers"});
  ASSERT_EQ(listed.exit_code, 0) << listed.err;
  EXPECT_NE(listed.out.find("AUTH"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find(" tls "), std::string::npos) << listed.out;
  const testing::ProgramResult added =
      testing::RunProgram({LUDRANE_CLI, "--runtime-dir", runtime_, "add-server", image_, "--port",
                           std::to_string(testing::FreePort()), "--tls"});
  ASSERT_EQ(added.exit_code, 0) << added.err;
  EXPECT_NE(added.err.find("empty log-on password"), std::string::npos) << added.err;
  const Handle cli_server = static_cast<Handle>(std::stoul(added.out));
  EXPECT_EQ(Read(cli_server).AuthMode, AUTH_MODE_TLS);
  const testing::ProgramResult plain_added =
      testing::RunProgram({LUDRANE_CLI, "--runtime-dir", runtime_, "add-server", image_, "--port",
                           std::to_string(testing::FreePort()), "--password", "x"});
  ASSERT_EQ(plain_added.exit_code, 0) << plain_added.err;
  EXPECT_EQ(plain_added.err, "");
  EXPECT_EQ(Read(static_cast<Handle>(std::stoul(plain_added.out))).AuthMode, AUTH_MODE_PLAIN);
  listed = testing::RunProgram({LUDRANE_CLI, "--runtime-dir", runtime_, "list-servers", "--json"});
  ASSERT_EQ(listed.exit_code, 0) << listed.err;
  EXPECT_NE(listed.out.find("\"auth\":\"tls\""), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("\"auth\":\"plain\""), std::string::npos) << listed.out;
  // The CLI's TLS export without a log-on password is warned of in the list.
  EXPECT_NE(listed.err.find("server " + std::to_string(cli_server)), std::string::npos)
      << listed.err;
}

TEST_F(LudraneTest, OnlineClientsShowTheLevelOfTheirOwnLogOn) {
  uint16_t port = 0;
  const Handle server = CreateThroughDialog(image_, port, [](ServerConfigDialog& d) {
    d.manage_edit()->clear();
    QTest::keyClicks(d.manage_edit(), "boss");
    d.manage_confirm_edit()->setText("boss");
  });
  ASSERT_NE(server, 0u) << prompts_.messages.join("|").toStdString();
  runner_->Run(configurator::kCmdStart, {{server}});
  ASSERT_EQ(Read(server).Started, 1);
  testing::BlockClient lifted, plain;
  ASSERT_EQ(lifted.Connect(port, inet_addr("127.0.0.6")), 0);
  ASSERT_EQ(lifted.Login("boss").reply.status, REPLY_OK);
  ASSERT_EQ(plain.Connect(port, inet_addr("127.0.0.7")), 0);
  ASSERT_EQ(plain.Login("").reply.status, REPLY_OK);
  document_->ShowClients(server);
  for (int i = 0; i < 500 && (RowOf("127.0.0.6") == nullptr || RowOf("127.0.0.7") == nullptr);
       ++i) {
    QTest::qWait(10);
    document_->RefreshView();
  }
  ASSERT_NE(RowOf("127.0.0.6"), nullptr);
  ASSERT_NE(RowOf("127.0.0.7"), nullptr);
  EXPECT_EQ(RowOf("127.0.0.6")->texts[2], "完全控制");
  EXPECT_EQ(RowOf("127.0.0.7")->texts[2], "虚拟写保护");
  const testing::ProgramResult listed = testing::RunProgram(
      {LUDRANE_CLI, "--runtime-dir", runtime_, "list-online", std::to_string(server)});
  ASSERT_EQ(listed.exit_code, 0) << listed.err;
  bool full = false, virtual_write = false;
  for (const std::string& line : testing::Lines(listed.out)) {
    if (line.find("127.0.0.6") != std::string::npos)
      full = line.find(" full ") != std::string::npos;
    if (line.find("127.0.0.7") != std::string::npos)
      virtual_write = line.find(" virtual ") != std::string::npos;
  }
  EXPECT_TRUE(full) << listed.out;
  EXPECT_TRUE(virtual_write) << listed.out;
}

TEST_F(LudraneTest, StartSkipsServersStartedElsewhereAndReportsFailures) {
  uint16_t port_a = 0, port_b = 0;
  const Handle a = CreateThroughDialog(image_, port_a);
  const Handle b = CreateThroughDialog(image_, port_b);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  const Selection both{{a, b}};
  EXPECT_TRUE(IsCommandEnabled(configurator::kCmdStart, *document_, both));
  ASSERT_EQ(client_->StartServer(a), 0);  // from elsewhere, after the enabling check
  runner_->StartServers(both);            // enabled before the other start
  EXPECT_TRUE(prompts_.status_texts.isEmpty()) << prompts_.status_texts.join("|").toStdString();
  EXPECT_EQ(Read(a).Started, 1);
  EXPECT_EQ(Read(b).Started, 1);
  EXPECT_FALSE(IsCommandEnabled(configurator::kCmdStart, *document_, both));
  EXPECT_TRUE(IsCommandEnabled(configurator::kCmdStop, *document_, both));
  runner_->Run(configurator::kCmdStop, both);
  EXPECT_EQ(Read(a).Started, 0);
  EXPECT_EQ(Read(b).Started, 0);

  // A port taken by someone else: the start fails into the status bar.
  platform::UniqueFd squatter(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int on = 1;
  setsockopt(squatter.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_b);
  ASSERT_EQ(bind(squatter.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(squatter.get(), 1), 0);
  runner_->Run(configurator::kCmdStart, {{b}});
  ASSERT_EQ(prompts_.status_texts.size(), 1);
  // The message names the port and who holds it: this test's process.
  std::string comm;
  std::getline(std::ifstream("/proc/self/comm"), comm);
  const std::string port_text = std::to_string(port_b);
  EXPECT_EQ(prompts_.status_texts[0].toStdString(),
            "Quensaria Service could not start the server 0.0.0.0:" + port_text + ": port " +
                port_text + " is in use by " + comm + " (process " + std::to_string(getpid()) +
                ").");
  EXPECT_EQ(document_->FindServerRow(b)->texts[5], "已停止");
  squatter.Reset();

  // An image that went away after its export was made: the file is named.
  const std::string doomed = dir_ + "/doomed.img";
  std::filesystem::copy_file(image_, doomed);
  uint16_t port_c = 0;
  const Handle c = CreateThroughDialog(doomed, port_c);
  ASSERT_NE(c, 0u);
  std::filesystem::remove(doomed);
  runner_->Run(configurator::kCmdStart, {{c}});
  ASSERT_EQ(prompts_.status_texts.size(), 2);
  EXPECT_EQ(prompts_.status_texts[1].toStdString(),
            "Quensaria Service could not start the server 0.0.0.0:" + std::to_string(port_c) +
                ": the source " + doomed + " does not exist.");
}

TEST_F(LudraneTest, DeleteTakesExactlyTheSelectedServersAndStopsStartedOnes) {
  std::vector<Handle> servers;
  for (int i = 0; i < 5; ++i) {
    uint16_t port = 0;
    servers.push_back(CreateThroughDialog(image_, port));
    ASSERT_NE(servers.back(), 0u);
  }
  ASSERT_EQ(client_->StartServer(servers[3]), 0);
  prompts_.answers = {true};
  runner_->Run(configurator::kCmdDeleteService, {{servers[1], servers[3]}});
  ASSERT_EQ(document_->server_rows().size(), 3u);
  std::vector<Handle> left;
  for (const ServerRow& row : document_->server_rows()) left.push_back(row.handle);
  EXPECT_EQ(left, (std::vector<Handle>{servers[0], servers[2], servers[4]}));
  EXPECT_TRUE(prompts_.status_texts.isEmpty());
  ASSERT_EQ(document_->tree_entries().size(), 3u);
  EXPECT_EQ(document_->tree_entries()[0].text, "0.0.0.0:" + std::to_string(Read(servers[0]).Port));
  // Nothing selected on the server list: nothing to delete.
  EXPECT_FALSE(IsCommandEnabled(configurator::kCmdDeleteService, *document_, {}));
}

TEST_F(LudraneTest, DeleteGoesPastASelectedServerThatHasGoneAndDeletesTheRest) {
  std::vector<Handle> servers;
  for (int i = 0; i < 4; ++i) {
    uint16_t port = 0;
    servers.push_back(CreateThroughDialog(image_, port));
    ASSERT_NE(servers.back(), 0u);
  }
  // Deleted elsewhere after the list was shown.
  ASSERT_EQ(client_->DeleteServer(servers[2]), 0);
  prompts_.answers = {true};
  runner_->Run(configurator::kCmdDeleteService, {{servers[1], servers[2], servers[3]}});
  std::vector<Handle> left;
  for (const ServerRow& row : document_->server_rows()) left.push_back(row.handle);
  EXPECT_EQ(left, (std::vector<Handle>{servers[0]}));
}

// A server or static client the service does not delete is said, once per
// command; one deleted elsewhere meanwhile is gone as asked and not.
TEST_F(LudraneTest, ADeletionTheServiceRefusesIsReported) {
  std::vector<Handle> servers;
  for (int i = 0; i < 2; ++i) {
    uint16_t port = 0;
    servers.push_back(CreateThroughDialog(image_, port));
    ASSERT_NE(servers.back(), 0u);
  }
  ClientEntry one{};
  one.address = inet_addr("10.0.5.1");
  one.access = ACCESS_VIRTUAL_WRITE;
  ASSERT_EQ(client_->AddStaticClient(servers[0], one), 0);
  one.address = inet_addr("10.0.5.2");
  ASSERT_EQ(client_->AddStaticClient(servers[0], one), 0);
  RefuseStaticClients();
  refusing_->deletions = true;
  ASSERT_TRUE(prompts_.messages.isEmpty()) << prompts_.messages.join("|").toStdString();

  document_->ShowServerList();
  prompts_.answers = {true};
  runner_->Run(configurator::kCmdDeleteService, {{servers[0], servers[1]}});
  EXPECT_EQ(prompts_.messages.join("|").toStdString(), "The service did not delete the server.")
      << "the servers left in the list went unmentioned";
  EXPECT_EQ(document_->server_rows().size(), 2u);
  prompts_.messages.clear();

  document_->ShowClients(servers[0]);
  const Selection both{{RowOf("10.0.5.1")->handle, RowOf("10.0.5.2")->handle}};
  runner_->Run(configurator::kCmdDeleteClient, both);
  EXPECT_EQ(prompts_.messages.join("|").toStdString(), "The service did not delete the client.")
      << "the clients left in the list went unmentioned";
  EXPECT_NE(RowOf("10.0.5.1"), nullptr);
  prompts_.messages.clear();

  // Gone already: nothing to say.
  ASSERT_EQ(client_->DeleteStaticClient(servers[0], both.handles[0]), 0);
  runner_->Run(configurator::kCmdDeleteClient, {{both.handles[0]}});
  ASSERT_EQ(client_->DeleteServer(servers[1]), 0);
  document_->ShowServerList();
  prompts_.answers = {true};
  runner_->Run(configurator::kCmdDeleteService, {{servers[1]}});
  EXPECT_TRUE(prompts_.messages.isEmpty()) << prompts_.messages.join("|").toStdString();
}

// A service that stops answering in the middle of a command of several
// calls is said, with the text of a service that does not answer.
TEST_F(LudraneTest, AServiceThatStopsAnsweringDuringACommandIsReported) {
  std::vector<Handle> servers;
  for (int i = 0; i < 2; ++i) {
    uint16_t port = 0;
    servers.push_back(CreateThroughDialog(image_, port));
    ASSERT_NE(servers.back(), 0u);
  }
  document_->ShowClients(servers[0]);
  AddClients(ClientKind::kRange, "10.0.7.1", "10.0.7.2");
  const Selection both{{RowOf("10.0.7.1")->handle, RowOf("10.0.7.2")->handle}};
  RefuseStaticClients();
  const auto stop_after_the_first_call = [&] {
    refusing_->after_call = [&] {
      refusing_->after_call = nullptr;
      StopService();
    };
  };
  const auto restart = [&] {
    ASSERT_EQ(service_, nullptr) << "the command asked the service nothing";
    StartService();
    ASSERT_TRUE(WaitForAnswer(true));
    prompts_.messages.clear();
  };
  // Handles are the new service's own.
  const auto read_servers = [&] {
    document_->ShowServerList();
    ASSERT_EQ(document_->server_rows().size(), 2u);
    servers = {document_->server_rows()[0].handle, document_->server_rows()[1].handle};
  };

  stop_after_the_first_call();
  document_->ShowClients(servers[0]);
  runner_->Run(configurator::kCmdFullAccess, both);
  EXPECT_EQ(prompts_.messages.join("|").toStdString(), "The Quensaria service does not answer.")
      << "the access left unchanged went unmentioned";
  restart();

  read_servers();
  for (const char* address : {"127.0.0.8", "127.0.0.9"}) {
    ClientEntry online{};
    online.address = inet_addr(address);
    online.access = ACCESS_VIRTUAL_WRITE;
    online.state = kClientLoggedOn;
    ASSERT_EQ(client_->AddOnlineClient(servers[1], online), 0);
  }
  document_->ShowClients(servers[1]);
  const Selection online{{RowOf("127.0.0.8")->handle, RowOf("127.0.0.9")->handle}};
  refusing_->additions = false;
  stop_after_the_first_call();
  runner_->Run(configurator::kCmdAddToStaticList, online);
  EXPECT_EQ(prompts_.messages.join("|").toStdString(), "The Quensaria service does not answer.")
      << "the client left uncopied went unmentioned";
  restart();

  // A range: each address would wait out the call's time-out in turn
  // against a service that accepts and never answers.
  read_servers();
  document_->ShowClients(servers[0]);
  refusing_->additions_asked = 0;
  stop_after_the_first_call();
  AddClients(ClientKind::kRange, "10.0.8.1", "10.0.8.10");
  EXPECT_EQ(refusing_->additions_asked, 2) << "the range went on without a service";
  EXPECT_EQ(prompts_.messages.join("|").toStdString(), "The Quensaria service does not answer.")
      << "the range left unadded went unmentioned or misnamed";
  restart();

  read_servers();
  document_->ShowClients(servers[0]);
  const Selection three{
      {RowOf("0.0.0.0")->handle, RowOf("10.0.7.1")->handle, RowOf("10.0.7.2")->handle}};
  stop_after_the_first_call();
  runner_->Run(configurator::kCmdDeleteClient, three);
  EXPECT_EQ(refusing_->client_deletions_asked, 2) << "the deletions went on without a service";
  EXPECT_EQ(prompts_.messages.join("|").toStdString(), "The Quensaria service does not answer.")
      << "the clients left undeleted went unmentioned or misnamed";
  restart();

  read_servers();
  stop_after_the_first_call();
  runner_->Run(configurator::kCmdStart, {{servers[0], servers[1]}});
  EXPECT_EQ(prompts_.messages.join("|").toStdString(), "The Quensaria service does not answer.")
      << "the server left stopped went unmentioned";
  restart();

  read_servers();
  stop_after_the_first_call();
  prompts_.answers = {true};
  runner_->Run(configurator::kCmdDeleteService, {{servers[0], servers[1]}});
  EXPECT_EQ(prompts_.messages.join("|").toStdString(), "The Quensaria service does not answer.")
      << "the server left undeleted went unmentioned";
}

TEST_F(LudraneTest, TheProbeNoticesTheServiceStoppingAndStartingAndRefreshesOncePerChange) {
  uint16_t port = 0;
  ASSERT_NE(CreateThroughDialog(image_, port), 0u);
  ASSERT_TRUE(document_->connected());
  int changes = 0;
  QObject::connect(document_.get(), &ServerDocument::connectedChanged, [&](bool) { ++changes; });
  configurator::IdleProbe probe(*document_, 0, 50);
  // A real event loop, so that it goes idle (blocks) between events.
  const auto wait_until = [&](bool connected) {
    QEventLoop loop;
    QObject::connect(document_.get(), &ServerDocument::connectedChanged, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    if (document_->connected() != connected) loop.exec();
    return document_->connected() == connected;
  };
  const int views = document_->view_refreshes();
  const int trees = document_->tree_refreshes();

  StopService();
  ASSERT_TRUE(wait_until(false));
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(document_->view_refreshes(), views + 1);
  EXPECT_EQ(document_->tree_refreshes(), trees + 1);
  EXPECT_TRUE(document_->server_rows().empty());
  EXPECT_FALSE(IsCommandEnabled(configurator::kCmdCreateService, *document_, {}));
  // More idle passes while stopped change nothing.
  for (int i = 0; i < 5; ++i) document_->Probe();
  EXPECT_EQ(document_->view_refreshes(), views + 1);

  StartService();
  ASSERT_TRUE(wait_until(true));
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(document_->view_refreshes(), views + 2);
  EXPECT_EQ(document_->tree_refreshes(), trees + 2);
  EXPECT_EQ(document_->server_rows().size(), 1u);  // kept in Locals.xml, listed again
  EXPECT_EQ(document_->tree_entries().size(), 1u);
}

}  // namespace
}  // namespace quensaria

namespace quensaria {
namespace {

TEST(LudraneOptionsTest, RuntimeDirectoryAndBindingCheck) {
  using configurator::ParseLudraneArguments;
  EXPECT_EQ(ParseLudraneArguments({})->runtime_directory, "/run/quensaria");
  EXPECT_EQ(ParseLudraneArguments({"--runtime-dir", "/tmp/q"})->runtime_directory, "/tmp/q");
  EXPECT_EQ(ParseLudraneArguments({"--runtime-dir=/tmp/r"})->runtime_directory, "/tmp/r");
  EXPECT_FALSE(ParseLudraneArguments({"--runtime-dir"}).has_value());
  EXPECT_FALSE(ParseLudraneArguments({"--runtime-dir="}).has_value());
  EXPECT_FALSE(ParseLudraneArguments({"extra"}).has_value());
  EXPECT_FALSE(ParseLudraneArguments({})->help);
  EXPECT_TRUE(ParseLudraneArguments({"--help"})->help);
  EXPECT_TRUE(ParseLudraneArguments({"extra", "-h"})->help);
  EXPECT_EQ(configurator::BindingStatus("/run/quensaria"), 0u);
  // sun_path holds 107 bytes and a zero.
  EXPECT_EQ(configurator::BindingStatus("/" + std::string(120, 'd')), 1700u);
}

}  // namespace
}  // namespace quensaria

namespace quensaria {
namespace {

TEST(MachineInfoTest, ListsRealDevicesAndSizes) {
  configurator::MachineInfo machine;
  for (const std::string& address : machine.HostAddresses()) {
    EXPECT_TRUE(configurator::ParseAddress(address).has_value()) << address;
    EXPECT_NE(address.rfind("127.", 0), 0u) << address;
  }
  for (const auto& list : {machine.WholeDisks(), machine.MountedPartitions()}) {
    for (const configurator::DeviceChoice& device : list) {
      EXPECT_EQ(device.path.rfind("/dev/", 0), 0u) << device.path;
      EXPECT_TRUE(std::filesystem::is_block_file(device.path)) << device.path;
      // The text starts with the kernel name the administrator knows.
      EXPECT_EQ(device.text.rfind(std::filesystem::path(device.path).filename().string(), 0), 0u)
          << device.text;
    }
  }
  for (const configurator::DeviceChoice& disk : machine.WholeDisks()) {
    EXPECT_EQ(disk.path.find("loop"), std::string::npos) << disk.path;
  }
  testing::ScratchDir scratch;
  const std::string file = scratch.File("sized.img");
  std::ofstream(file).close();
  std::filesystem::resize_file(file, 123456);
  EXPECT_EQ(machine.SizeOf(file), 123456u);
  EXPECT_FALSE(machine.SizeOf(scratch.File("missing.img")).has_value());
}

}  // namespace
}  // namespace quensaria
