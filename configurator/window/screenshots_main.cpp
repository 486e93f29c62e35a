// ludrane-screenshots DIR: renders ludrane's window and dialogs to PNG files
// in DIR, for people to look at (scripts/screenshots runs it under Xvfb).
// It starts its own quensaria in a scratch directory with a few servers and
// clients, one client logged on, and shows the real window on it.
#include <arpa/inet.h>
#include <signal.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QPrintPreviewDialog>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "configurator/client/management_client.h"
#include "configurator/document/configurator_defaults.h"
#include "configurator/document/machine_info.h"
#include "configurator/document/server_document.h"
#include "configurator/widgets/add_client_dialog.h"
#include "configurator/widgets/options_dialog.h"
#include "configurator/widgets/server_config_dialog.h"
#include "configurator/widgets/widget_prompts.h"
#include "configurator/window/main_window.h"
#include "configurator/window/new_image_dialog.h"
#include "configurator/window/server_tree.h"
#include "platform/scratch_dir_for_testing.h"
#include "shared/password_digest.h"
#include "tests/block_client_for_testing.h"
#include "tests/program_for_testing.h"

namespace quensaria::configurator {
namespace {

using namespace std::chrono_literals;

class Shots {
 public:
  explicit Shots(QString dir) : dir_(std::move(dir)) {}

  // The whole screen around `widget` (menus and pop-ups included).
  void Screen(const QString& name, const QRect& area) {
    QTest::qWait(150);
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(),
                                                                      area.width(), area.height());
    Save(name, shot);
  }
  void Widget(const QString& name, QWidget& widget) {
    widget.show();
    widget.raise();
    QTest::qWait(150);
    Save(name, widget.grab());
  }
  bool ok() const { return ok_; }

 private:
  void Save(const QString& name, const QPixmap& shot) {
    const QString path = QDir(dir_).filePath(name + ".png");
    const bool saved = shot.save(path);
    ok_ &= saved;
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
  }
  QString dir_;
  bool ok_ = true;
};

Handle AddServer(ManagementClient& ops, const std::string& path, uint64_t bytes) {
  std::ofstream(path).write("", 0);
  std::filesystem::resize_file(path, bytes);
  ServerConfig config{};
  std::strncpy(config.Source, path.c_str(), sizeof config.Source - 1);
  config.Port = testing::FreePort();
  config.SizeBytes = bytes;
  config.Cache = 100;
  const Sha1Digest digest = PasswordDigest("secret");
  std::memcpy(config.Password, digest.data(), kDigestSize);
  std::memcpy(config.ManagePassword, digest.data(), kDigestSize);
  Handle server = 0;
  ops.AddServer(config, server);
  ClientEntry any{};
  any.access = ACCESS_VIRTUAL_WRITE;
  ops.AddStaticClient(server, any);
  return server;
}

void AddClient(ManagementClient& ops, Handle server, const char* address, uint8_t access) {
  ClientEntry entry{};
  inet_pton(AF_INET, address, &entry.address);
  entry.access = access;
  ops.AddStaticClient(server, entry);
}

int Run(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: ludrane-screenshots DIR\n");
    return 2;
  }
  Shots shots(QString::fromLocal8Bit(argv[1]));
  testing::ScratchDir scratch;
  const std::string dir = scratch.path().string(), runtime = dir + "/run";
  testing::Program service(
      {QUENSARIA_PROGRAM, "--console", "--state-dir", dir, "--runtime-dir", runtime},
      dir + "/service.log");
  ManagementClient ops(runtime, 10s);
  std::string name;
  for (int i = 0; i < 500 && ops.GetServiceName(16, name) != 0; ++i) QTest::qWait(10);
  if (name.empty()) {
    std::fprintf(stderr, "quensaria did not answer\n");
    return 1;
  }

  const Handle office = AddServer(ops, dir + "/office-share.img", uint64_t{2} << 30);
  const Handle lab = AddServer(ops, dir + "/lab-disk.img", uint64_t{200} << 20);
  AddServer(ops, dir + "/backup-2026.img", uint64_t{20} << 30);
  AddClient(ops, lab, "10.0.0.9", ACCESS_FULL);
  AddClient(ops, lab, "10.0.0.10", ACCESS_VIRTUAL_WRITE);
  AddClient(ops, lab, "192.168.1.20", ACCESS_REFUSED);
  ops.StartServer(lab);
  ServerConfig lab_config{};
  ops.GetServer(lab, lab_config);
  testing::BlockClient online;
  online.Connect(lab_config.Port, htonl(0x7F000001));
  online.Login("secret");
  // Some traffic for the figures pane: reads, and writes the virtual-write
  // client is refused.
  std::vector<uint8_t> data;
  for (int i = 0; i < 48; ++i) online.Read(uint64_t{65536} * i, 65536, data);
  const std::vector<uint8_t> payload(4096, 1);
  for (int i = 0; i < 3; ++i) online.Write(0, payload.data(), 4096);
  (void)office;

  ConfiguratorDefaults defaults(QString::fromStdString(dir + "/Quensaria.conf"));
  MachineInfo machine;
  MainWindow window(ops, defaults, machine);
  window.move(0, 0);
  window.resize(1000, 640);
  window.show();
  window.ProbeService();
  QTest::qWait(300);
  const QRect frame = window.frameGeometry();
  shots.Screen("ludrane-servers", frame);

  window.tree()->setCurrentItem(window.tree()->Find(lab));
  for (int i = 0; i < 100; ++i) {  // the host name resolver answers soon
    window.document().RefreshView();
    bool resolving = false;
    for (const ClientRow& row : window.document().client_rows())
      resolving |= row.entry.nameState == kNameUnknown && row.entry.address != 0;
    if (!resolving) break;
    QTest::qWait(50);
  }
  window.list_view()->selectRow(1);
  shots.Screen("ludrane-clients", frame);

  // The list's context menu on the client list.
  auto menu = window.BuildListMenu();
  const QPoint at = window.list_view()->viewport()->mapToGlobal(QPoint(300, 40));
  menu->popup(at);
  shots.Screen("ludrane-context-menu", frame);
  menu->close();

  auto tree_menu = window.BuildTreeMenu();
  tree_menu->popup(window.tree()->viewport()->mapToGlobal(QPoint(60, 40)));
  shots.Screen("ludrane-tree-menu", frame);
  tree_menu->close();

  WidgetPrompts prompts(&window, nullptr);
  {
    NewImageDialog dialog(prompts, &window);
    dialog.path_field()->setText(QStringLiteral("/srv/images/lab-disk.img"));
    shots.Widget("ludrane-new-image", dialog);
  }
  {
    ServerConfigDialog dialog(prompts, defaults, machine, &window);
    shots.Widget("ludrane-create-service", dialog);
    dialog.password_button()->click();
    shots.Widget("ludrane-create-service-passwords", dialog);
    dialog.tls_check()->setChecked(true);
    shots.Widget("ludrane-create-service-tls", dialog);
    dialog.tls_check()->setChecked(false);
    dialog.password_button()->click();
    // The file field, empty: its placeholder tells of RBD images.
    dialog.SetSourceKind(SourceKind::kFile);
    shots.Widget("ludrane-create-service-file", dialog);
  }
  {
    AddClientDialog dialog(ops, prompts, lab, &window);
    dialog.SetKind(ClientKind::kRange);
    shots.Widget("ludrane-add-client", dialog);
  }
  {
    OptionsDialog dialog(defaults, &window);
    shots.Widget("ludrane-options", dialog);
  }
  {
    QPrintPreviewDialog dialog(&window.printer(), &window);
    QObject::connect(&dialog, &QPrintPreviewDialog::paintRequested,
                     [&window](QPrinter* printer) { window.PrintList(*printer); });
    dialog.resize(760, 900);
    shots.Widget("ludrane-print-preview", dialog);
  }
  {
    window.CommandAction(kCmdRefresh)->trigger();
    // The About box is the window's own; open it the way the menu does.
    QTimer::singleShot(400, [&] {
      if (auto* about = window.findChild<QDialog*>(QStringLiteral("aboutDialog"))) {
        shots.Widget("ludrane-about", *about);
        about->accept();
      }
    });
    window.findChild<QAction*>(QStringLiteral("actionAbout"))->trigger();
  }
  window.close();
  service.Signal(SIGTERM);
  service.Wait(30s);
  return shots.ok() ? 0 : 1;
}

}  // namespace
}  // namespace quensaria::configurator

int main(int argc, char** argv) { return quensaria::configurator::Run(argc, argv); }
