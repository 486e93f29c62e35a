// ServerDocument: the configurator's model of the service, owned by the main
// window. It holds the one binding (any ManagementOperations: the real
// ManagementClient, or a test double), the connected state of the liveness
// probe, the current list (the servers, or the clients of one server) with
// its rows as last fetched, and the tree's entries. Nothing is cached beyond
// one rebuild: every refresh enumerates again. GUI thread only; every call
// into the service is synchronous.
#ifndef QUENSARIA_CONFIGURATOR_DOCUMENT_SERVER_DOCUMENT_H_
#define QUENSARIA_CONFIGURATOR_DOCUMENT_SERVER_DOCUMENT_H_

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <optional>
#include <vector>

#include "configurator/rules/figures.h"
#include "configurator/rules/list_rows.h"
#include "shared/management_operations.h"

namespace quensaria::configurator {

// The texts of the status bar's connection pane.
inline constexpr char kConnectedText[] = "Connected:LocalHost";
inline constexpr char kNotConnectedText[] = "No Quensaria Service";
// The period of the list's rebuild timer.
inline constexpr int kListRefreshMs = 30000;

class ServerDocument : public QObject {
  Q_OBJECT

 public:
  // `ops` must outlive the document.
  explicit ServerDocument(ManagementOperations& ops, QObject* parent = nullptr);

  ManagementOperations& ops() { return ops_; }

  // The liveness probe: GetServiceName with 1024 bytes. Sets connected and,
  // when that changed, emits connectedChanged and refreshes all (once).
  // Returns whether the service answered.
  bool Probe();
  bool connected() const { return connected_; }

  // The current list: nullopt = the server list, else the shown server.
  std::optional<Handle> shown_server() const { return shown_server_; }
  bool showing_servers() const { return !shown_server_.has_value(); }
  // Whether the shown server could be read at the last rebuild: false once
  // it was deleted (its empty client list stays shown, its commands off).
  bool shown_server_exists() const { return shown_server_exists_; }
  // Show list: makes it current and rebuilds the view.
  void ShowServerList();
  void ShowClients(Handle server);

  // Rebuilds the current list from the service, and the figures of what it
  // shows (every server, or the shown one); emits listChanged.
  void RefreshView();
  // Reads the tree's entries again; emits treeChanged.
  void RefreshTree();
  // RefreshView, then RefreshTree.
  void RefreshAll();

  // The rows of the current list in the service's order (one of the two is
  // empty, according to showing_servers()).
  const std::vector<ServerRow>& server_rows() const { return server_rows_; }
  const std::vector<ClientRow>& client_rows() const { return client_rows_; }
  const std::vector<TreeEntry>& tree_entries() const { return tree_entries_; }
  // The live figures read with the current list, in its order.
  const std::vector<ServerFigures>& figures() const { return figures_; }
  // False when the service answered that it keeps no figures (an older one).
  bool figures_kept() const { return figures_kept_; }
  // The row of a handle in the current list, or null.
  const ServerRow* FindServerRow(Handle handle) const;
  const ClientRow* FindClientRow(Handle handle) const;

  // Starts the 30-second rebuild timer (the view's first update does it).
  void StartRefreshTimer();

  // How many times each refresh ran; for tests and diagnostics.
  int view_refreshes() const { return view_refreshes_; }
  int tree_refreshes() const { return tree_refreshes_; }

 signals:
  void connectedChanged(bool connected);
  void listChanged();
  void treeChanged();

 private:
  ManagementOperations& ops_;
  bool connected_ = false;
  std::optional<Handle> shown_server_;
  bool shown_server_exists_ = false;
  std::vector<ServerRow> server_rows_;
  std::vector<ClientRow> client_rows_;
  std::vector<TreeEntry> tree_entries_;
  std::vector<ServerFigures> figures_;
  bool figures_kept_ = true;
  QTimer refresh_timer_;
  int view_refreshes_ = 0;
  int tree_refreshes_ = 0;
};

// Runs the document's probe on every idle pass of the GUI thread's event
// loop (just before it blocks), at most once per `min_interval_ms`, and
// wakes the loop every `wake_ms` so that an idle program still notices the
// service stopping or starting. Hands the result to `on_probe` (the window
// enables the create command with it).
class IdleProbe : public QObject {
  Q_OBJECT

 public:
  IdleProbe(ServerDocument& document, int min_interval_ms = 250, int wake_ms = 1000,
            QObject* parent = nullptr);
  ~IdleProbe() override;

 signals:
  void probed(bool connected);

 private:
  void OnIdle();

  ServerDocument& document_;
  int min_interval_ms_;
  QTimer wake_;
  QElapsedTimer since_probe_;
  QMetaObject::Connection idle_connection_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_DOCUMENT_SERVER_DOCUMENT_H_
