// mounter-screenshots DIR: renders the mounter's window (four drives mounted
// by the real MountManager over FakeDriver, their servers on loopback), its
// tray menu and each dialog to PNG files in DIR, for people to look at
// (scripts/screenshots runs it under Xvfb).
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QRadioButton>
#include <QStatusBar>
#include <QTableView>
#include <cstdio>

#include "mounter/about_dialog.h"
#include "mounter/add_device_dialog.h"
#include "mounter/driver_for_testing.h"
#include "mounter/flow_runner.h"
#include "mounter/main_window.h"
#include "mounter/password_dialog.h"
#include "mounter/prompts_for_testing.h"
#include "mounter/settings_dialog.h"

namespace quensaria::mounter {
namespace {

// Xvfb has no window manager, so a window's caption is drawn above it here,
// for the reader to check it too. Menus have none.
QImage WithCaption(QWidget* widget, const QPixmap& body) {
  if (widget->windowTitle().isEmpty() || qobject_cast<QMenu*>(widget) != nullptr) {
    return body.toImage();
  }
  const int bar = widget->fontMetrics().height() + 12;
  QImage image(body.width(), body.height() + bar, QImage::Format_RGB32);
  image.fill(QColor(0x3c, 0x4a, 0x5a));
  QPainter painter(&image);
  const QIcon icon = widget->windowIcon();
  int x = 8;
  if (!icon.isNull()) {
    painter.drawPixmap(x, (bar - 16) / 2, icon.pixmap(16, 16));
    x += 22;
  }
  painter.setPen(Qt::white);
  painter.setFont(widget->font());
  painter.drawText(QRect(x, 0, image.width() - x, bar), Qt::AlignVCenter, widget->windowTitle());
  painter.drawPixmap(0, bar, body);
  return image;
}

bool Save(QWidget* widget, const QString& dir, const char* name) {
  widget->show();
  QApplication::processEvents();
  const QString path = dir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
  if (!WithCaption(widget, widget->grab()).save(path)) {
    std::fprintf(stderr, "mounter-screenshots: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

// A connection to a server on `address`, on port 60000 where it is free.
std::unique_ptr<ServerConnection> ConnectTo(const char* address) {
  auto connection = std::make_unique<ServerConnection>(address, 60000);
  if (!connection->up()) connection = std::make_unique<ServerConnection>(address, 0);
  return connection;
}

int Run(const QString& dir) {
  QDir().mkpath(dir);
  MounterForTesting mounter;
  const auto first = ConnectTo("127.0.0.10");
  const auto second = ConnectTo("127.0.0.21");
  bool mounted = true;
  const auto mount = [&](int index, const MountRecord& record) {
    const Status status =
        mounter.manager.MountOnDevice(index, record, static_cast<char>(record.driveLetter));
    if (!status.ok()) std::fprintf(stderr, "mounter-screenshots: %s\n", status.message().c_str());
    mounted &= status.ok();
  };
  // On the last devices, leaving the first to the mount that waits below.
  mount(4, NetworkRecord('E', "127.0.0.10", first->port(), uint64_t{3} << 29, true));
  mount(5, ImageRecord('H', "/srv/images/项目资料.img", uint64_t{512} << 20));
  // A drive of two servers, on the second since the first went away.
  MountRecord moved = NetworkRecord('F', "127.0.0.20", 60000, uint64_t{40} << 30, true);
  (void)SetMountServers(moved, {{moved.serverAddress, moved.serverPort},
                                {inet_addr("127.0.0.21"), htons(second->port())}});
  SetCurrentServer(moved, 1);
  mount(6, moved);
  // No connection: its export was deleted on the server.
  mount(7, NetworkRecord('K', "127.0.0.11", 60001, uint64_t{8} << 30, false));
  AddDeviceDefaults defaults;
  defaults.ipAddress = 0xC0A8010A;
  defaults.moreServers = QStringLiteral("192.168.1.21:60000");
  defaults.tls = true;
  const std::vector<char> free_letters = mounter.manager.FreeDriveLetters();
  RecordingPrompts prompts;
  bool ok = mounted;

  MainWindow window(mounter.manager, mounter.settings, QStringLiteral("/usr/bin/velmoran-mounter"),
                    true, &prompts);
  window.driveList()->selectRow(0);
  window.ShowStatus(QStringLiteral("Mount successfully"));
  ok &= Save(&window, dir, "mounter-main-window");
  // A message longer than the bar: cut, whole in its tool tip.
  window.ShowStatus(QStringLiteral(
      "Mount error: You may not use the Velmoran devices: only members of the group "
      "\"velmoran\" may. Ask the administrator to add you (adduser bob velmoran), then log on "
      "again; or run the mounter as root."));
  ok &= Save(&window, dir, "mounter-main-window-long-status");

  // A mount waiting for its server: the window says so and offers to stop.
  mounter.driver.HoldNextMount();
  AddDeviceAnswer waiting;
  waiting.ipAddress = defaults.ipAddress;
  waiting.port = 60000;
  waiting.driveLetter = 'D';
  prompts.adds = {waiting};
  window.findChild<QAction*>("actionMount")->trigger();
  while (!mounter.driver.Holding()) QApplication::processEvents(QEventLoop::AllEvents, 20);
  for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
  ok &= Save(&window, dir, "mounter-main-window-mounting");
  window.CancelFlow();
  mounter.driver.Release();
  while (window.flowRunner()->threads() != 0)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  window.ShowStatus(QStringLiteral("Mount cancelled."));

  window.RebuildTrayMenu();
  QMenu* tray = window.trayMenu();
  ok &= Save(tray, dir, "mounter-tray-menu");
  if (auto* unmount = tray->findChild<QMenu*>("trayUnmountMenu")) {
    ok &= Save(unmount, dir, "mounter-tray-unmount-menu");
  }
  tray->hide();

  AddDeviceDialog network(defaults, free_letters, prompts, &window);
  ok &= Save(&network, dir, "mounter-add-device-network");
  network.hide();
  AddDeviceDefaults image_defaults;
  image_defaults.type = 1;
  image_defaults.fileName = QStringLiteral("/srv/images/disk.img");
  AddDeviceDialog image(image_defaults, free_letters, prompts, &window);
  ok &= Save(&image, dir, "mounter-add-device-image");
  image.hide();

  PasswordDialog password(PasswordPrompt::kNeeded, QStringLiteral("192.168.1.10 : 60000"), &window);
  ok &= Save(&password, dir, "mounter-password");
  password.hide();
  PasswordDialog refused(PasswordPrompt::kRefused, QStringLiteral("192.168.1.10 : 60000"), &window);
  ok &= Save(&refused, dir, "mounter-password-refused");
  refused.hide();
  SettingsDialog settings(
      true, QStringLiteral("/home/user/.cache/velmoran/"),
      [](bool, const QString&) { return QString(); }, prompts, &window);
  ok &= Save(&settings, dir, "mounter-settings");
  settings.hide();
  AboutDialog about(&window);
  ok &= Save(&about, dir, "mounter-about");
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace quensaria::mounter

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: mounter-screenshots DIR\n");
    return 2;
  }
  return quensaria::mounter::Run(QString::fromLocal8Bit(argv[1]));
}
