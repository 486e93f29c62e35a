#include "configurator/commands.h"

#include <QDialog>
#include <algorithm>
#include <cstring>

#include "configurator/add_client_dialog.h"
#include "configurator/configurator_defaults.h"
#include "configurator/options_dialog.h"
#include "configurator/server_config_dialog.h"
#include "configurator/server_document.h"
#include "configurator/user_prompts.h"
#include "shared/block_protocol.h"

namespace quensaria::configurator {

const std::vector<CommandId>& AllCommands() {
  static const std::vector<CommandId> commands = {
      kCmdCreateService,   kCmdDeleteService,  kCmdStart,      kCmdStop,
      kCmdAddStaticClient, kCmdAccessMode,     kCmdOptions,    kCmdRefresh,
      kCmdDeleteClient,    kCmdSelectAll,      kCmdFullAccess, kCmdVirtualProtection,
      kCmdRefuseAccess,    kCmdAddToStaticList};
  return commands;
}

namespace {

std::vector<Handle> Targets(const ServerDocument& document, const Selection& selection) {
  if (document.shown_server()) return {*document.shown_server()};
  return selection.handles;
}

// Start (want_started false) or Stop (true) applies: every target can be
// read and is in the other state.
bool AllInState(ServerDocument& document, const Selection& selection, bool started) {
  const std::vector<Handle> targets = Targets(document, selection);
  if (targets.empty()) return false;
  for (const Handle server : targets) {
    ServerConfig config;
    if (document.ops().GetServer(server, config) != 0) return false;
    if ((config.Started != 0) != started) return false;
  }
  return true;
}

bool StaticClientsOnly(const ServerDocument& document, const Selection& selection) {
  if (document.showing_servers() || selection.handles.empty()) return false;
  return std::all_of(selection.handles.begin(), selection.handles.end(), [&](Handle handle) {
    const ClientRow* row = document.FindClientRow(handle);
    return row != nullptr && row->is_static();
  });
}

}  // namespace

bool IsCommandEnabled(int id, ServerDocument& document, const Selection& selection) {
  switch (id) {
    case kCmdCreateService:
      return document.connected();
    case kCmdDeleteService:
      return !document.showing_servers() || !selection.handles.empty();
    case kCmdStart:
      return AllInState(document, selection, false);
    case kCmdStop:
      return AllInState(document, selection, true);
    case kCmdAddStaticClient:
      return !document.showing_servers();
    case kCmdDeleteClient:
    case kCmdVirtualProtection:
    case kCmdFullAccess:
    case kCmdRefuseAccess:
      return StaticClientsOnly(document, selection);
    case kCmdAddToStaticList:
      // A row that is not a static client: any server row, or a client row
      // whose state is not static.
      return std::any_of(selection.handles.begin(), selection.handles.end(), [&](Handle handle) {
        if (document.showing_servers()) return true;
        const ClientRow* row = document.FindClientRow(handle);
        return row == nullptr || !row->is_static();
      });
    case kCmdAccessMode:
    case kCmdRefresh:
    case kCmdSelectAll:
    case kCmdOptions:
      return true;
    default:
      return false;
  }
}

CommandRunner::CommandRunner(ServerDocument& document, UserPrompts& prompts,
                             ConfiguratorDefaults& defaults, MachineInfo& machine, QObject* parent)
    : QObject(parent),
      document_(document),
      prompts_(prompts),
      defaults_(defaults),
      machine_(machine) {}

void CommandRunner::Run(int id, const Selection& selection) {
  if (!IsCommandEnabled(id, document_, selection)) return;
  switch (id) {
    case kCmdCreateService:
      CreateService();
      break;
    case kCmdDeleteService:
      DeleteService(selection);
      break;
    case kCmdStart:
      StartServers(selection);
      break;
    case kCmdStop:
      StopServers(selection);
      break;
    case kCmdAddStaticClient:
      AddStaticClient();
      break;
    case kCmdDeleteClient:
      DeleteClients(selection);
      break;
    case kCmdAccessMode:
    case kCmdVirtualProtection:
      ChangeAccess(selection, ACCESS_VIRTUAL_WRITE);
      break;
    case kCmdFullAccess:
      ChangeAccess(selection, ACCESS_FULL);
      break;
    case kCmdRefuseAccess:
      ChangeAccess(selection, ACCESS_REFUSED);
      break;
    case kCmdAddToStaticList:
      AddToStaticList(selection);
      break;
    case kCmdRefresh:
      document_.RefreshAll();
      break;
    case kCmdSelectAll:
      emit selectAllRequested();
      break;
    case kCmdOptions:
      Options();
      break;
    default:
      break;
  }
}

std::vector<Handle> CommandRunner::TargetServers(const Selection& selection) const {
  return Targets(document_, selection);
}

void CommandRunner::CreateService() {
  ServerConfigDialog dialog(prompts_, defaults_, machine_, prompts_.DialogParent());
  if (prompts_.Exec(dialog) != QDialog::Accepted) return;
  Handle server = 0;
  if (document_.ops().AddServer(dialog.config(), server) != 0) {
    prompts_.Message(kCreateFailed);
    return;
  }
  if (defaults_.AutoAddClient()) document_.ops().AddStaticClient(server, AnyAddressClient());
  document_.RefreshTree();
  document_.RefreshView();
}

void CommandRunner::DeleteService(const Selection& selection) {
  if (!prompts_.Question(kDeleteQuestion, kDeleteCaption)) return;
  std::vector<Handle> targets = TargetServers(selection);
  // From the last selected row towards the first.
  std::reverse(targets.begin(), targets.end());
  ManagementOperations& ops = document_.ops();
  for (const Handle server : targets) {
    ServerConfig config;
    if (ops.GetServer(server, config) != 0) break;
    if (config.Started != 0 && ops.StopServer(server) != 0) {
      prompts_.StatusText(kStopFailedStatus);  // deleted all the same
    }
    ops.DeleteServer(server);
  }
  document_.RefreshTree();
  document_.RefreshView();
}

void CommandRunner::StartServers(const Selection& selection) {
  WaitCursorScope wait(prompts_);
  StartOrStop(selection, true);
}

void CommandRunner::StopServers(const Selection& selection) { StartOrStop(selection, false); }

void CommandRunner::StartOrStop(const Selection& selection, bool start) {
  ManagementOperations& ops = document_.ops();
  for (const Handle server : TargetServers(selection)) {
    ServerConfig config;
    // Re-read: the server may have changed since the command was enabled.
    if (ops.GetServer(server, config) != 0 || (config.Started != 0) == start) continue;
    const int32_t result = start ? ops.StartServer(server) : ops.StopServer(server);
    if (result != 0) prompts_.StatusText(start ? kStartFailedStatus : kStopFailedStatus);
  }
  document_.RefreshView();
}

void CommandRunner::AddStaticClient() {
  if (!document_.shown_server()) return;
  AddClientDialog dialog(document_.ops(), prompts_, *document_.shown_server(),
                         prompts_.DialogParent());
  if (prompts_.Exec(dialog) == QDialog::Accepted) document_.RefreshView();
}

void CommandRunner::DeleteClients(const Selection& selection) {
  if (!document_.shown_server()) return;
  {
    WaitCursorScope wait(prompts_);
    for (const Handle client : selection.handles) {
      document_.ops().DeleteStaticClient(*document_.shown_server(), client);
    }
  }
  document_.RefreshView();
}

void CommandRunner::ChangeAccess(const Selection& selection, uint8_t access) {
  ManagementOperations& ops = document_.ops();
  for (const Handle client : selection.handles) {
    ClientEntry entry;
    std::memset(&entry, 0, sizeof entry);
    if (ops.GetStaticClient(client, entry) != 0) return;  // no rebuild
    if (!AccessChangeAllowed(entry, access)) {
      prompts_.Message(kAnyNotFull);
      continue;
    }
    entry.access = access;
    ops.ModifyStaticClient(client, entry);
  }
  document_.RefreshView();
}

void CommandRunner::AddToStaticList(const Selection& selection) {
  if (document_.shown_server()) {
    WaitCursorScope wait(prompts_);
    ManagementOperations& ops = document_.ops();
    for (const Handle client : selection.handles) {
      ClientEntry entry;
      std::memset(&entry, 0, sizeof entry);
      // A static row fails this read and is skipped.
      if (ops.GetOnlineClient(client, entry) != 0) continue;
      ops.AddStaticClient(*document_.shown_server(), entry);
    }
  }
  document_.RefreshView();
}

void CommandRunner::Options() {
  OptionsDialog dialog(defaults_, prompts_.DialogParent());
  prompts_.Exec(dialog);
}

}  // namespace quensaria::configurator
