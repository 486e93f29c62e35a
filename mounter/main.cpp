// velmoran-mounter: the mounter's desktop program. One optional argument:
// "-a" starts with only the tray icon, "-automount" mounts the saved drives
// silently without a display, "--help" prints the usage. A second start
// shows the running one's window.
#include <QApplication>
#include <QSystemTrayIcon>
#include <cstdio>
#include <exception>

#include "mounter/auto_mount.h"
#include "mounter/command_line.h"
#include "mounter/main_window.h"
#include "mounter/mounter_parts.h"
#include "mounter/single_instance.h"

namespace quensaria::mounter {
namespace {

int RunWindow(int argc, char** argv, StartMode mode) {
  QApplication app(argc, argv);
  // Dialogs opened from the tray while the window is hidden must not end
  // the program when they close; the window's Exit and close do.
  QApplication::setQuitOnLastWindowClosed(false);
  SingleInstance instance;
  if (instance.AskRunningInstanceToShow()) return 0;
  if (!instance.Listen()) {
    // One started at the same moment listens already.
    if (instance.AskRunningInstanceToShow()) return 0;
    std::fprintf(stderr,
                 "velmoran-mounter: cannot listen as %s; a second start will not find "
                 "this one\n",
                 qPrintable(instance.serverName()));
  }

  MounterParts parts = CreateMounterParts();
  MainWindow window(*parts.manager, *parts.settings, QCoreApplication::applicationFilePath(),
                    QSystemTrayIcon::isSystemTrayAvailable());
  QObject::connect(&instance, &SingleInstance::showRequested, &window, &MainWindow::ShowAndRaise);
  QObject::connect(&window, &MainWindow::exitRequested, &app, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  window.Start(mode);
  return QApplication::exec();
}

}  // namespace
}  // namespace quensaria::mounter

int main(int argc, char** argv) {
  using namespace quensaria::mounter;
  try {
    const StartMode mode = ParseCommandLine(argc, argv);
    if (mode == StartMode::kHelp) {
      std::fputs(kMounterUsage, stdout);
      return 0;
    }
    // The automatic mount runs at log-on without a display: no widget, no
    // window to show.
    if (mode == StartMode::kAutoMount) return RunAutoMount();
    return RunWindow(argc, argv, mode);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velmoran-mounter: %s\n", e.what());
    return 1;
  }
}
