#include "configurator/commands.h"

#include "configurator/server_document.h"

namespace quensaria::configurator {

const std::vector<CommandId>& AllCommands() {
  static const std::vector<CommandId> commands = {
      kCmdCreateService, kCmdDeleteService, kCmdStart, kCmdStop, kCmdAddStaticClient,
      kCmdAccessMode, kCmdOptions, kCmdRefresh, kCmdDeleteClient, kCmdSelectAll,
      kCmdFullAccess, kCmdVirtualProtection, kCmdRefuseAccess, kCmdAddToStaticList};
  return commands;
}

bool IsCommandEnabled(int, ServerDocument&, const Selection&) { return false; }

CommandRunner::CommandRunner(ServerDocument& document, UserPrompts& prompts,
                             ConfiguratorDefaults& defaults, MachineInfo& machine, QObject* parent)
    : QObject(parent), document_(document), prompts_(prompts), defaults_(defaults), machine_(machine) {}

void CommandRunner::Run(int, const Selection&) {}
void CommandRunner::CreateService() {}
void CommandRunner::DeleteService(const Selection&) {}
void CommandRunner::StartServers(const Selection&) {}
void CommandRunner::StopServers(const Selection&) {}
void CommandRunner::AddStaticClient() {}
void CommandRunner::DeleteClients(const Selection&) {}
void CommandRunner::ChangeAccess(const Selection&, uint8_t) {}
void CommandRunner::AddToStaticList(const Selection&) {}
void CommandRunner::Options() {}
std::vector<Handle> CommandRunner::TargetServers(const Selection&) const { return {}; }
void CommandRunner::StartOrStop(const Selection&, bool) {}

}  // namespace quensaria::configurator
