// The administrator's commands: their identifiers (what menus, tool bar and
// shortcuts send), their enabling rules as a function of the document and
// the selection, and CommandRunner, which carries one out with its dialogs
// and messages through UserPrompts and ends by rebuilding what it changed.
// GUI thread only.
#ifndef QUENSARIA_CONFIGURATOR_WIDGETS_COMMANDS_H_
#define QUENSARIA_CONFIGURATOR_WIDGETS_COMMANDS_H_

#include <QObject>
#include <string>
#include <vector>

#include "configurator/rules/configurator_rules.h"
#include "configurator/rules/list_rows.h"

namespace quensaria::configurator {

class ConfiguratorDefaults;
class MachineInfo;
class ServerDocument;
class UserPrompts;

enum CommandId : int {
  kCmdCreateService = 57600,
  kCmdDeleteService = 32771,
  kCmdStart = 32776,
  kCmdStop = 32777,
  kCmdAddStaticClient = 32782,
  kCmdAccessMode = 32783,  // tool bar button: as virtual protection
  kCmdOptions = 32785,
  kCmdRefresh = 32786,
  kCmdDeleteClient = 32787,
  kCmdSelectAll = 32789,
  kCmdFullAccess = 32795,
  kCmdVirtualProtection = 32796,
  kCmdRefuseAccess = 32797,
  kCmdAddToStaticList = 32819,
};
// Every command above, for menus and tests.
const std::vector<CommandId>& AllCommands();

// The selected rows of the list view, as handles, in the order the user
// sees them (a sorted view keeps each row's handle).
struct Selection {
  std::vector<Handle> handles;
};

// Whether `id` is enabled now. Start and Stop read the targeted servers
// (GetServer) through the document's binding; the others look only at the
// document's current list and rows.
bool IsCommandEnabled(int id, ServerDocument& document, const Selection& selection);
// Why `id` is disabled now, in one sentence for a tool tip or the status
// bar; empty when it is enabled.
std::string DisabledReason(int id, ServerDocument& document, const Selection& selection);

class CommandRunner : public QObject {
  Q_OBJECT

 public:
  // All referenced objects must outlive the runner.
  CommandRunner(ServerDocument& document, UserPrompts& prompts, ConfiguratorDefaults& defaults,
                MachineInfo& machine, QObject* parent = nullptr);

  // Carries out `id` on `selection` (an unknown or disabled id does
  // nothing). Select All only asks the view, through selectAllRequested.
  void Run(int id, const Selection& selection);

  // The commands one by one.
  void CreateService();
  void DeleteService(const Selection& selection);
  void StartServers(const Selection& selection);
  void StopServers(const Selection& selection);
  void AddStaticClient();
  void DeleteClients(const Selection& selection);
  void ChangeAccess(const Selection& selection, uint8_t access);
  void AddToStaticList(const Selection& selection);
  void Options();

 signals:
  void selectAllRequested();

 private:
  // The servers a server command acts on: the selected rows of the server
  // list, or the shown server.
  std::vector<Handle> TargetServers(const Selection& selection) const;
  void StartOrStop(const Selection& selection, bool start);

  ServerDocument& document_;
  UserPrompts& prompts_;
  ConfiguratorDefaults& defaults_;
  MachineInfo& machine_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WIDGETS_COMMANDS_H_
