// ludrane: the configurator's window. Asks to start the service when it is
// not running, binds to its management interface and shows the frame.
// --runtime-dir DIR reaches a service started with the same option.
#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <exception>

#include "configurator/configurator_defaults.h"
#include "configurator/ludrane_resources.h"
#include "configurator/machine_info.h"
#include "configurator/main_window.h"
#include "configurator/management_client.h"
#include "configurator/service_control.h"
#include "configurator/widget_prompts.h"

namespace {

int Run(int argc, char** argv) {
  using namespace quensaria::configurator;
  using quensaria::kDefaultRuntimeDirectory;
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("ludrane"));
  QApplication::setApplicationVersion(QStringLiteral(QUENSARIA_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("ludrane"));
  LoadLudraneResources();
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/ludrane-48.png")));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("The Quensaria service's configurator."));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption runtime_dir(QStringLiteral("runtime-dir"),
                                       QStringLiteral("The service's runtime directory (default %1).")
                                           .arg(QString::fromLatin1(kDefaultRuntimeDirectory)),
                                       QStringLiteral("DIR"), QString::fromLatin1(kDefaultRuntimeDirectory));
  parser.addOption(runtime_dir);
  parser.process(application);

  ManagementClient client(parser.value(runtime_dir).toStdString());
  ConfiguratorDefaults defaults;
  MachineInfo machine;
  {
    WidgetPrompts start_prompts;  // before the frame exists
    CheckAndStartService(start_prompts);
  }
  MainWindow window(client, defaults, machine);
  window.show();
  return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ludrane: %s\n", e.what());
    return 1;
  }
}
