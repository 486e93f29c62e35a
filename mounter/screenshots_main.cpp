// mounter-screenshots DIR: renders the mounter's window (two mounted drives
// from the logic double), its tray menu and each dialog to PNG files in
// DIR, for people to look at (scripts/screenshots runs it under Xvfb).
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
#include "mounter/flow_runner.h"
#include "mounter/main_window.h"
#include "mounter/mounter_logic_for_testing.h"
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

int Run(const QString& dir) {
  QDir().mkpath(dir);
  RecordingLogic logic;
  MountedDrive gone = FakeNetworkDrive('K', "192.168.1.11", 60001, "8.00G", false);
  gone.connected = false;  // its export was deleted on the server
  gone.location = QStringLiteral("/media/user/ARCHIVE");
  // A drive of two servers, on the second since the first went away.
  MountedDrive moved = FakeNetworkDrive('F', "192.168.1.21", 60000, "40.00G", true);
  moved.source += QStringLiteral(" (server 2 of 2)");
  logic.drives = {FakeNetworkDrive('E', "192.168.1.10", 60000, "1.50G", true),
                  FakeImageDrive('H', "/srv/images/项目资料.img", "512.00M"), moved, gone};
  logic.free_letters = {'D', 'G', 'I', 'J', 'K'};
  logic.defaults.ipAddress = 0xC0A8010A;
  logic.defaults.moreServers = QStringLiteral("192.168.1.21:60000");
  logic.defaults.tls = true;
  RecordingPrompts prompts;
  bool ok = true;

  MainWindow window(logic, true, &prompts);
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
  logic.HoldMounts();
  AddDeviceAnswer mount;
  mount.ipAddress = logic.defaults.ipAddress;
  mount.driveLetter = 'D';
  prompts.adds = {mount};
  window.findChild<QAction*>("actionMount")->trigger();
  while (!logic.HeldNow()) QApplication::processEvents(QEventLoop::AllEvents, 20);
  for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
  ok &= Save(&window, dir, "mounter-main-window-mounting");
  window.CancelFlow();
  logic.Release();
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

  AddDeviceDialog network(logic.defaults, logic.free_letters, prompts, &window);
  ok &= Save(&network, dir, "mounter-add-device-network");
  network.hide();
  AddDeviceDefaults image_defaults;
  image_defaults.type = 1;
  image_defaults.fileName = QStringLiteral("/srv/images/disk.img");
  AddDeviceDialog image(image_defaults, logic.free_letters, prompts, &window);
  ok &= Save(&image, dir, "mounter-add-device-image");
  image.hide();

  PasswordDialog password(PasswordPrompt::kNeeded, QStringLiteral("192.168.1.10 : 60000"), &window);
  ok &= Save(&password, dir, "mounter-password");
  password.hide();
  PasswordDialog refused(PasswordPrompt::kRefused, QStringLiteral("192.168.1.10 : 60000"), &window);
  ok &= Save(&refused, dir, "mounter-password-refused");
  refused.hide();
  SettingsDialog settings(
      true, logic.settings.tempFolder, [](bool, const QString&) { return QString(); }, prompts,
      &window);
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
