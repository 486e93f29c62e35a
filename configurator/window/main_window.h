// MainWindow: the configurator's frame. The menus, the 16-entry tool bar
// and the context menus send the command identifiers to CommandRunner,
// whose rules enable them; the "VFS Info" pane holds the ServerTree, the
// list view shows the document's current list through ListModel and
// ListSortProxy; the "实时统计" pane below shows the live figures of what the
// list shows, rebuilt with it (FiguresModel); the status bar has the
// message pane and the connection pane. Printing, page setup and print preview print the list as
// the user sees it (ListPrintout). Every dialog and message goes through the UserPrompts given
// (WidgetPrompts when none). GUI thread only.
#ifndef QUENSARIA_CONFIGURATOR_WINDOW_MAIN_WINDOW_H_
#define QUENSARIA_CONFIGURATOR_WINDOW_MAIN_WINDOW_H_

#include <QMainWindow>
#include <QMap>
#include <QPrinter>
#include <memory>
#include <optional>

#include "configurator/widgets/commands.h"
#include "configurator/window/list_printout.h"

class QDockWidget;
class QLabel;
class QMenu;
class QTableView;
class QToolBar;
class QToolButton;

namespace quensaria {
class ManagementOperations;
}

namespace quensaria::configurator {

class ConfiguratorDefaults;
class FiguresModel;
class IdleProbe;
class ListModel;
class ListSortProxy;
class MachineInfo;
class ServerDocument;
class ServerTree;
class UserPrompts;

// Commands of the frame itself (the others are in commands.h).
enum FrameCommandId : int {
  kCmdPrint = 57607,
  kCmdPageSetup = 57606,
  kCmdPrintPreview = 57609,
  kCmdCreateImage = 32809,
};

inline constexpr char kServicesListTitle[] = "Quensaria Server - Services List";
inline constexpr char kClientsListTitle[] = "Quensaria Server - Clients List";
inline constexpr char kDockTitle[] = "VFS Info";
inline constexpr char kFiguresTitle[] = "实时统计";
inline constexpr char kNoFiguresText[] = "此版本的 Quensaria 服务不提供实时统计";
inline constexpr int kToolButtonSize = 55;
inline constexpr int kConnectionPaneWidth = 150;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // The referenced objects must outlive the window. `prompts` null: the
  // window shows real message boxes and dialogs.
  MainWindow(ManagementOperations& ops, ConfiguratorDefaults& defaults, MachineInfo& machine,
             UserPrompts* prompts = nullptr, QWidget* parent = nullptr);
  ~MainWindow() override;

  ServerDocument& document() { return *document_; }
  ServerTree* tree() const { return tree_; }
  QTableView* list_view() const { return list_view_; }
  ListModel* list_model() const { return model_; }
  QTableView* figures_view() const { return figures_view_; }
  // Shown instead of figures when the service keeps none.
  QLabel* figures_note() const { return figures_note_; }
  QToolBar* tool_bar() const { return tool_bar_; }
  QLabel* connection_pane() const { return connection_text_; }
  QPrinter& printer() { return printer_; }

  // The action of a command identifier (commands.h or FrameCommandId).
  QAction* CommandAction(int id) const { return actions_.value(id); }
  // The selected rows' handles, top to bottom as shown.
  Selection SelectedRows() const;
  // Enables every command by its rule, now.
  void UpdateCommandStates();
  // One liveness probe, as an idle pass makes it.
  void ProbeService();

  // What a right click at `at` (a list index, or none) selects before its
  // menu opens: the row under the mouse, unless it is selected already.
  void SelectForContextMenu(const QModelIndex& at);
  // The context menus as they would open now (after the right click has
  // selected what it hit).
  std::unique_ptr<QMenu> BuildTreeMenu();
  std::unique_ptr<QMenu> BuildListMenu();

  // The current list as printed: rows in the order shown.
  PrintTable CurrentPrintTable() const;
  // Prints the current list on `printer` (no dialog).
  ListPrintout::PrintResult PrintList(QPrinter& printer) const;

 private:
  void BuildActions();
  void BuildMenus();
  void BuildToolBar();
  void BuildStatusBar();
  void BuildPanes();
  void BuildFiguresPane();
  QAction* AddCommand(int id, const QString& text, const QString& object_name);
  // A context-menu item that sends `id`, looking like its action; greyed,
  // with `reason` as its tips, unless `reason` is empty.
  QAction* AddMenuItem(QMenu& menu, int id, const QString& reason);
  // Why the action of `id` is disabled now; empty when enabled.
  QString ReasonNow(int id) const;
  // Refresh, create, delete, start, stop: for the tree or the server list.
  std::unique_ptr<QMenu> ServerMenu(bool on_tree);
  void RunCommand(int id);
  void ListChanged();
  void TreeChosen(qint64 entry);
  void ApplyProbe(bool connected);
  void Print();
  void PageSetup();
  void PrintPreview();
  void CreateImage();
  void About();

  UserPrompts* prompts_;
  std::unique_ptr<UserPrompts> own_prompts_;
  std::unique_ptr<ServerDocument> document_;
  std::unique_ptr<CommandRunner> runner_;
  std::unique_ptr<IdleProbe> idle_probe_;
  QMap<int, QAction*> actions_;
  QAction* about_ = nullptr;
  QMenu* access_menu_ = nullptr;
  ServerTree* tree_ = nullptr;
  QTableView* list_view_ = nullptr;
  ListModel* model_ = nullptr;
  ListSortProxy* proxy_ = nullptr;
  QDockWidget* figures_dock_ = nullptr;
  QTableView* figures_view_ = nullptr;
  FiguresModel* figures_model_ = nullptr;
  QLabel* figures_note_ = nullptr;
  QToolBar* tool_bar_ = nullptr;
  QLabel* connection_icon_ = nullptr;
  QLabel* connection_text_ = nullptr;
  QPrinter printer_{QPrinter::HighResolution};
  std::optional<bool> shown_connected_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WINDOW_MAIN_WINDOW_H_
