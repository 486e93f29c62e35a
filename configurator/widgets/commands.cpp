#include "configurator/widgets/commands.h"

#include <QDialog>
#include <algorithm>
#include <cstring>

#include "configurator/document/configurator_defaults.h"
#include "configurator/document/server_document.h"
#include "configurator/document/user_prompts.h"
#include "configurator/rules/export_checks.h"
#include "configurator/widgets/add_client_dialog.h"
#include "configurator/widgets/options_dialog.h"
#include "configurator/widgets/server_config_dialog.h"
#include "shared/block_protocol.h"
#include "shared/management_interface.h"

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

// Whether `result` is no answer of the service (a runtime status: the call
// did not complete) rather than its own 0 or -1.
bool NoAnswer(int32_t result) { return result != 0 && result != -1; }

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
      // A client list targets its server, while that server exists.
      if (!document.showing_servers()) return document.shown_server_exists();
      return !selection.handles.empty();
    case kCmdStart:
      return AllInState(document, selection, false);
    case kCmdStop:
      return AllInState(document, selection, true);
    case kCmdAddStaticClient:
      return !document.showing_servers() && document.shown_server_exists();
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

namespace {

// Start (started false) or Stop: why not every target can be switched.
std::string StartStopReason(ServerDocument& document, const Selection& selection, bool start) {
  const std::vector<Handle> targets = Targets(document, selection);
  if (targets.empty())
    return start ? "Select the servers to start." : "Select the servers to stop.";
  for (const Handle server : targets) {
    ServerConfig config;
    if (document.ops().GetServer(server, config) != 0) {
      return "The server no longer exists: it was deleted.";
    }
    if ((config.Started != 0) == start) {
      if (targets.size() == 1) {
        return start ? "The server is started already." : "The server is stopped already.";
      }
      return start ? "Some of the chosen servers are started already."
                   : "Some of the chosen servers are stopped already.";
    }
  }
  return {};
}

std::string ClientListReason(const ServerDocument& document) {
  if (document.showing_servers()) {
    return "Show a server's clients first: choose the server in the VFS Info pane.";
  }
  if (!document.shown_server_exists()) return "The server no longer exists: it was deleted.";
  return {};
}

}  // namespace

std::string DisabledReason(int id, ServerDocument& document, const Selection& selection) {
  if (IsCommandEnabled(id, document, selection)) return {};
  switch (id) {
    case kCmdCreateService:
      return kServiceDoesNotAnswer;
    case kCmdDeleteService:
      if (!document.showing_servers()) return "The server no longer exists: it was deleted.";
      return "Select the servers to delete.";
    case kCmdStart:
      return StartStopReason(document, selection, true);
    case kCmdStop:
      return StartStopReason(document, selection, false);
    case kCmdAddStaticClient:
      return ClientListReason(document);
    case kCmdDeleteClient:
    case kCmdVirtualProtection:
    case kCmdFullAccess:
    case kCmdRefuseAccess:
      if (std::string reason = ClientListReason(document); !reason.empty()) return reason;
      if (selection.handles.empty()) return "Select the clients first.";
      return "Only static clients can be changed or deleted: online and refused clients are not "
             "in the static list.";
    case kCmdAddToStaticList:
      if (std::string reason = ClientListReason(document); !reason.empty()) return reason;
      if (selection.handles.empty()) return "Select the online clients to add.";
      return "The chosen clients are in the static list already.";
    default:
      return {};
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
  // What could never start is refused while the dialog is open.
  dialog.SetCheck([this](const ServerConfig& config) {
    return CreateRefusal(config, ReadServerRows(document_.ops()));
  });
  if (prompts_.Exec(dialog) != QDialog::Accepted) return;
  Handle server = 0;
  if (document_.ops().AddServer(dialog.config(), server) != 0) {
    prompts_.Message(kCreateFailed);
    return;
  }
  if (defaults_.AutoAddClient() &&
      document_.ops().AddStaticClient(server, AnyAddressClient()) != 0) {
    prompts_.Message(kAnyClientNotAdded);
  }
  document_.RefreshTree();
  document_.RefreshView();
}

void CommandRunner::DeleteService(const Selection& selection) {
  if (!prompts_.Question(kDeleteQuestion, kDeleteCaption)) return;
  std::vector<Handle> targets = TargetServers(selection);
  // From the last selected row towards the first.
  std::reverse(targets.begin(), targets.end());
  ManagementOperations& ops = document_.ops();
  bool refused = false;
  bool unanswered = false;
  for (const Handle server : targets) {
    ServerConfig config;
    const int32_t got = ops.GetServer(server, config);
    // A server deleted elsewhere is passed over; only an unreachable
    // service ends the walk, and says so: the servers after it are left.
    if (got == -1) continue;
    unanswered = got != 0;
    if (unanswered) break;
    if (config.Started != 0 && ops.StopServer(server) != 0) {
      prompts_.StatusText(kStopFailedStatus);  // deleted all the same
    }
    const int32_t deleted = ops.DeleteServer(server);
    unanswered = NoAnswer(deleted);
    if (unanswered) break;
    if (deleted == 0 || refused) continue;
    // Said once; a server deleted elsewhere meanwhile is gone as asked.
    const int32_t again = ops.GetServer(server, config);
    unanswered = NoAnswer(again);
    if (unanswered) break;
    refused = again != -1;
  }
  if (refused) prompts_.Message(kServerNotDeleted);
  if (unanswered) prompts_.Message(kServiceDoesNotAnswer);
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
    // A service that no longer answers ends the command, and says so.
    const int32_t got = ops.GetServer(server, config);
    if (NoAnswer(got)) {
      prompts_.Message(kServiceDoesNotAnswer);
      break;
    }
    if (got != 0 || (config.Started != 0) == start) continue;
    const int32_t result = start ? ops.StartServer(server) : ops.StopServer(server);
    if (result == 0) continue;
    if (NoAnswer(result)) {
      prompts_.Message(kServiceDoesNotAnswer);
      break;
    }
    if (!start) {
      prompts_.StatusText(kStopFailedStatus);
      continue;
    }
    // The service says only that it failed; what this machine shows of the
    // cause (the source, the port and who holds it) is named.
    const std::string cause = StartFailureCause(config, server, ReadServerRows(ops),
                                                platform::TcpListenersOn(config.Port));
    prompts_.StatusText(QString::fromStdString(StartFailureText(config, cause)));
  }
  document_.RefreshView();
}

void CommandRunner::AddStaticClient() {
  if (!document_.shown_server()) return;
  AddClientDialog dialog(document_.ops(), prompts_, *document_.shown_server(),
                         prompts_.DialogParent());
  // Even when left with Cancel: a range refused in part added the rest.
  prompts_.Exec(dialog);
  document_.RefreshView();
}

void CommandRunner::DeleteClients(const Selection& selection) {
  if (!document_.shown_server()) return;
  bool refused = false;
  // A service that no longer answers ends the command, and is said: each
  // call after it would wait out its time-out in turn.
  bool unanswered = false;
  {
    WaitCursorScope wait(prompts_);
    ManagementOperations& ops = document_.ops();
    for (const Handle client : selection.handles) {
      int32_t result = ops.DeleteStaticClient(*document_.shown_server(), client);
      if (result == -1 && !refused) {
        // A client deleted elsewhere meanwhile is gone as asked.
        ClientEntry entry;
        result = ops.GetStaticClient(client, entry);
        refused = result == 0;
      }
      unanswered = NoAnswer(result);
      if (unanswered) break;
    }
  }
  if (refused) prompts_.Message(kClientNotDeleted);
  if (unanswered) prompts_.Message(kServiceDoesNotAnswer);
  document_.RefreshView();
}

void CommandRunner::ChangeAccess(const Selection& selection, uint8_t access) {
  ManagementOperations& ops = document_.ops();
  bool refused = false;
  for (const Handle client : selection.handles) {
    ClientEntry entry;
    std::memset(&entry, 0, sizeof entry);
    const int32_t got = ops.GetStaticClient(client, entry);
    // A client deleted elsewhere is passed over; an unreachable service
    // ends the command without a rebuild, and says so: the clients after
    // it keep their access.
    if (got == -1) continue;
    if (got != 0) {
      prompts_.Message(kServiceDoesNotAnswer);
      return;
    }
    if (!AccessChangeAllowed(entry, access)) {
      prompts_.Message(kAnyNotFull);
      continue;
    }
    entry.access = access;
    int32_t result = ops.ModifyStaticClient(client, entry);
    // Said once; a client deleted elsewhere meanwhile is passed over.
    if (result == -1 && !refused) {
      result = ops.GetStaticClient(client, entry);
      refused = result == 0;
    }
    if (NoAnswer(result)) {
      prompts_.Message(kServiceDoesNotAnswer);
      return;
    }
  }
  if (refused) prompts_.Message(kAccessNotChanged);
  document_.RefreshView();
}

void CommandRunner::AddToStaticList(const Selection& selection) {
  // Why the first client that was not copied was refused; empty when all were.
  std::string refusal;
  // A service that no longer answers ends the command, and is said.
  bool unanswered = false;
  if (document_.shown_server()) {
    WaitCursorScope wait(prompts_);
    ManagementOperations& ops = document_.ops();
    for (const Handle client : selection.handles) {
      ClientEntry entry;
      std::memset(&entry, 0, sizeof entry);
      // A static row fails this read and is skipped.
      const int32_t got = ops.GetOnlineClient(client, entry);
      unanswered = NoAnswer(got);
      if (unanswered) break;
      if (got != 0) continue;
      const int32_t added = ops.AddStaticClient(*document_.shown_server(), entry);
      unanswered = NoAnswer(added);
      if (unanswered) break;
      if (added == 0 || !refusal.empty()) continue;
      // Read at once: a later refusal would replace the service's text.
      ops.GetLastErrorText(kLastErrorTextSize, refusal);
      ServerConfig config{};
      const int32_t server = ops.GetServer(*document_.shown_server(), config);
      unanswered = NoAnswer(server);
      if (unanswered) break;
      if (server != 0) {
        refusal = kServerGoneText;
      } else if (refusal.empty()) {
        refusal = kClientNotAddedText;
      }
    }
  }
  if (!refusal.empty()) prompts_.Message(QString::fromStdString(refusal));
  if (unanswered) prompts_.Message(kServiceDoesNotAnswer);
  document_.RefreshView();
}

void CommandRunner::Options() {
  OptionsDialog dialog(defaults_, prompts_.DialogParent());
  // Unsaid, defaults that were not written pass for saved.
  if (prompts_.Exec(dialog) == QDialog::Accepted && !dialog.saved()) {
    prompts_.Message(
        QStringLiteral("The defaults could not be saved in %1.").arg(defaults_.file()));
  }
}

}  // namespace quensaria::configurator
