// ludrane [--runtime-dir DIR] [--help]: the configurator's window. Asks to start the
// service when it is not running, binds to its management interface once
// and shows the frame; a binding that fails (the endpoint cannot even be
// named) ends the program with status 1.
#include <QApplication>
#include <cstdio>
#include <exception>

#include "configurator/client/management_client.h"
#include "configurator/document/configurator_defaults.h"
#include "configurator/document/ludrane_options.h"
#include "configurator/document/machine_info.h"
#include "configurator/document/service_control.h"
#include "configurator/widgets/widget_prompts.h"
#include "configurator/window/ludrane_resources.h"
#include "configurator/window/main_window.h"

namespace {

int Run(int argc, char** argv) {
  using namespace quensaria::configurator;
  // Before the application object: it needs a display, the usage does not.
  if (const std::optional<LudraneOptions> early =
          ParseLudraneArguments(std::vector<std::string>(argv + 1, argv + argc));
      early && early->help) {
    std::fputs(kLudraneUsage, stdout);
    return 0;
  }
  QApplication application(argc, argv);  // takes Qt's own options out
  QApplication::setApplicationName(QStringLiteral("ludrane"));
  QApplication::setApplicationVersion(QStringLiteral(QUENSARIA_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("ludrane"));
  LoadLudraneResources();
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/ludrane-48.png")));

  std::vector<std::string> args;
  for (const QString& arg : QApplication::arguments().mid(1)) args.push_back(arg.toStdString());
  const std::optional<LudraneOptions> options = ParseLudraneArguments(args);
  if (!options) {
    std::fputs(kLudraneUsage, stderr);
    return 2;
  }
  // The binding's status (1700) does not fit an exit status, whose low
  // 8 bits alone reach the caller: say it, and fail with 1.
  if (const uint32_t status = BindingStatus(options->runtime_directory); status != 0) {
    std::fprintf(stderr, "ludrane: %s: too long for a socket (RPC status %u)\n",
                 ManagementEndpointPath(options->runtime_directory).c_str(), status);
    return 1;
  }

  ConfiguratorDefaults defaults;
  MachineInfo machine;
  {
    WidgetPrompts start_prompts;  // before the frame exists
    CheckAndStartService(start_prompts);
  }
  ManagementClient client(options->runtime_directory);
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
