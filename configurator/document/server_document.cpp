#include "configurator/document/server_document.h"

#include <QAbstractEventDispatcher>
#include <QThread>

#include "shared/dcerpc.h"
#include "shared/management_interface.h"

namespace quensaria::configurator {

ServerDocument::ServerDocument(ManagementOperations& ops, QObject* parent)
    : QObject(parent), ops_(ops) {
  refresh_timer_.setInterval(kListRefreshMs);
  connect(&refresh_timer_, &QTimer::timeout, this, &ServerDocument::RefreshView);
}

bool ServerDocument::Probe() {
  std::string name;
  const bool answers = ops_.GetServiceName(kLastErrorTextSize, name) == 0;
  if (answers != connected_) {
    connected_ = answers;
    emit connectedChanged(connected_);
    RefreshAll();
  }
  return answers;
}

void ServerDocument::ShowServerList() {
  shown_server_.reset();
  RefreshView();
}

void ServerDocument::ShowClients(Handle server) {
  shown_server_ = server;
  RefreshView();
}

void ServerDocument::RefreshView() {
  ++view_refreshes_;
  server_rows_.clear();
  client_rows_.clear();
  std::vector<ServerRow> shown;  // whose figures go with the list
  if (shown_server_) {
    ServerConfig config{};
    shown_server_exists_ = ops_.GetServer(*shown_server_, config) == 0;
    if (shown_server_exists_) {
      client_rows_ = ReadClientRows(ops_, *shown_server_);
      shown.push_back(MakeServerRow(*shown_server_, true, config));
    }
  } else {
    server_rows_ = ReadServerRows(ops_);
    shown = server_rows_;
  }
  int32_t status = 0;
  figures_ = ReadServerFigures(ops_, shown, &status);
  figures_kept_ = static_cast<uint32_t>(status) != rpc::RPC_S_PROCNUM_OUT_OF_RANGE;
  emit listChanged();
}

void ServerDocument::RefreshTree() {
  ++tree_refreshes_;
  tree_entries_ = ReadTreeEntries(ops_);
  emit treeChanged();
}

void ServerDocument::RefreshAll() {
  RefreshView();
  RefreshTree();
}

const ServerRow* ServerDocument::FindServerRow(Handle handle) const {
  for (const ServerRow& row : server_rows_) {
    if (row.handle == handle) return &row;
  }
  return nullptr;
}

const ClientRow* ServerDocument::FindClientRow(Handle handle) const {
  for (const ClientRow& row : client_rows_) {
    if (row.handle == handle) return &row;
  }
  return nullptr;
}

void ServerDocument::StartRefreshTimer() {
  if (!refresh_timer_.isActive()) refresh_timer_.start();
}

IdleProbe::IdleProbe(ServerDocument& document, int min_interval_ms, int wake_ms, QObject* parent)
    : QObject(parent), document_(document), min_interval_ms_(min_interval_ms) {
  QAbstractEventDispatcher* dispatcher =
      QAbstractEventDispatcher::instance(QThread::currentThread());
  if (dispatcher != nullptr) {
    idle_connection_ = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                               &IdleProbe::OnIdle, Qt::DirectConnection);
  }
  // The wake-up does nothing itself: it only makes the loop pass idle again.
  wake_.setInterval(wake_ms);
  connect(&wake_, &QTimer::timeout, this, [] {});
  wake_.start();
}

IdleProbe::~IdleProbe() { disconnect(idle_connection_); }

void IdleProbe::OnIdle() {
  if (since_probe_.isValid() && since_probe_.elapsed() < min_interval_ms_) return;
  since_probe_.start();
  emit probed(document_.Probe());
}

}  // namespace quensaria::configurator
