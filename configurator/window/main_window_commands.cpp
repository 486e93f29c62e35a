// The frame's actions: menus, tool bar and context menus, and the rules
// that enable them.
#include <QApplication>
#include <QDockWidget>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTableView>
#include <QToolBar>
#include <QToolButton>
#include <initializer_list>

#include "configurator/document/server_document.h"
#include "configurator/window/main_window.h"
#include "configurator/window/server_tree.h"

namespace quensaria::configurator {
namespace {

struct ToolEntry {
  int id;             // 0: a separator
  const char* label;  // under the image
  const char* twin;   // the Chinese label, as tool tip
  const char* icon;
};
constexpr int kAboutEntry = -1;
constexpr ToolEntry kToolEntries[] = {
    {kCmdCreateService, "Create", "创建", "create"},
    {kCmdDeleteService, "Delete", "删除", "delete"},
    {0, nullptr, nullptr, nullptr},
    {kCmdStart, "Start", "启动", "start"},
    {kCmdStop, "Stop", "停止", "stop"},
    {0, nullptr, nullptr, nullptr},
    {kCmdRefresh, "Refresh", "刷新", "refresh"},
    {0, nullptr, nullptr, nullptr},
    {kCmdAddStaticClient, "Add", "添加", "add"},
    {kCmdDeleteClient, "Remove", "移除", "remove"},
    {0, nullptr, nullptr, nullptr},
    {kCmdAccessMode, "Access", "访问", "access"},
    {kCmdOptions, "Options", "选项", "options"},
    {0, nullptr, nullptr, nullptr},
    {kCmdPrintPreview, "Print", "打印", "print"},
    {kAboutEntry, "About", "关于", "about"},
};

QIcon ToolIcon(const char* name) {
  return QIcon(QStringLiteral(":/icons/%1.png").arg(QLatin1String(name)));
}

// Adds a menu titled `title`, named `name`, holding `items` in order; a null
// item stands for a separator.
QMenu* AddMenu(QMenuBar* bar, const QString& title, const QString& name,
               std::initializer_list<QAction*> items) {
  QMenu* menu = bar->addMenu(title);
  menu->setObjectName(name);
  for (QAction* item : items) {
    if (item == nullptr) {
      menu->addSeparator();
    } else {
      menu->addAction(item);
    }
  }
  return menu;
}

}  // namespace

QAction* MainWindow::AddCommand(int id, const QString& text, const QString& object_name) {
  auto* action = new QAction(text, this);
  action->setObjectName(object_name);
  action->setData(id);
  connect(action, &QAction::triggered, this, [this, id] { RunCommand(id); });
  actions_.insert(id, action);
  return action;
}

void MainWindow::BuildActions() {
  AddCommand(kCmdCreateService, QStringLiteral("创建服务[&N]"), "actionCreateService")
      ->setShortcut(QKeySequence(QStringLiteral("Ctrl+N")));
  AddCommand(kCmdDeleteService, QStringLiteral("删除服务[&D]"), "actionDeleteService")
      ->setShortcut(QKeySequence(QStringLiteral("Ctrl+D")));
  AddCommand(kCmdStart, QStringLiteral("启动服务[&S]"), "actionStart")
      ->setShortcut(QKeySequence(QStringLiteral("Ctrl+S")));
  AddCommand(kCmdStop, QStringLiteral("停止服务[&T]"), "actionStop")
      ->setShortcut(QKeySequence(QStringLiteral("Ctrl+T")));
  AddCommand(kCmdPrint, QStringLiteral("打印[&P]..."), "actionPrint")
      ->setShortcut(QKeySequence(QStringLiteral("Ctrl+P")));
  AddCommand(kCmdPageSetup, QStringLiteral("页面设置[&U]..."), "actionPageSetup");
  AddCommand(kCmdPrintPreview, QStringLiteral("打印预览[&V]"), "actionPrintPreview");
  AddCommand(kCmdAddStaticClient, QStringLiteral("添加静态客户端[&A]..."), "actionAddStaticClient");
  AddCommand(kCmdDeleteClient, QStringLiteral("删除[&D]"), "actionDeleteClient")
      ->setShortcut(QKeySequence(Qt::Key_Delete));
  AddCommand(kCmdRefresh, QStringLiteral("刷新[&R]"), "actionRefresh")
      ->setShortcut(QKeySequence(Qt::Key_F5));
  AddCommand(kCmdSelectAll, QStringLiteral("全选[&A]"), "actionSelectAll")
      ->setShortcut(QKeySequence(QStringLiteral("Ctrl+A")));
  AddCommand(kCmdOptions, QStringLiteral("选项[&O]..."), "actionOptions");
  AddCommand(kCmdCreateImage, QStringLiteral("创建镜像[&C]"), "actionCreateImage");
  AddCommand(kCmdAccessMode, QStringLiteral("访问模式[&M]"), "actionAccessMode");
  AddCommand(kCmdVirtualProtection, QStringLiteral("虚拟写保护[&V]"), "actionVirtualProtection");
  AddCommand(kCmdFullAccess, QStringLiteral("完全控制[&F]"), "actionFullAccess");
  AddCommand(kCmdRefuseAccess, QStringLiteral("拒绝访问[&R]"), "actionRefuseAccess");
  AddCommand(kCmdAddToStaticList, QStringLiteral("添加到静态地址列表[&A]"),
             "actionAddToStaticList");
  about_ = new QAction(QStringLiteral("关于 Ludrane[&A]..."), this);
  about_->setObjectName(QStringLiteral("actionAbout"));
  connect(about_, &QAction::triggered, this, &MainWindow::About);

  access_menu_ = new QMenu(QStringLiteral("访问控制[&C]"), this);
  access_menu_->setObjectName(QStringLiteral("accessMenu"));
  access_menu_->addAction(actions_[kCmdVirtualProtection]);
  access_menu_->addAction(actions_[kCmdFullAccess]);
  access_menu_->addAction(actions_[kCmdRefuseAccess]);
  actions_[kCmdAccessMode]->setMenu(access_menu_);

  for (const ToolEntry& entry : kToolEntries) {
    QAction* action = entry.id == kAboutEntry ? about_ : actions_.value(entry.id);
    if (action == nullptr) continue;
    action->setIconText(QString::fromLatin1(entry.label));
    action->setIcon(ToolIcon(entry.icon));
    action->setToolTip(QString::fromUtf8(entry.twin));
  }
  addActions(actions_.values());  // shortcuts work wherever the focus is
}

void MainWindow::BuildMenus() {
  QMenu* service = AddMenu(menuBar(), QStringLiteral("服务[&S]"), QStringLiteral("serviceMenu"),
                           {actions_[kCmdCreateService], actions_[kCmdDeleteService], nullptr,
                            actions_[kCmdStart], actions_[kCmdStop], nullptr, actions_[kCmdPrint],
                            actions_[kCmdPageSetup], actions_[kCmdPrintPreview], nullptr});
  QAction* exit = service->addAction(QStringLiteral("退出[&X]"), this, &QWidget::close);
  exit->setObjectName(QStringLiteral("actionExit"));

  AddMenu(menuBar(), QStringLiteral("客户端[&C]"), QStringLiteral("clientMenu"),
          {actions_[kCmdAddStaticClient], nullptr, actions_[kCmdDeleteClient]});

  QMenu* view = AddMenu(menuBar(), QStringLiteral("视图[&V]"), QStringLiteral("viewMenu"),
                        {actions_[kCmdRefresh], nullptr, actions_[kCmdSelectAll], nullptr});
  tool_bar_ = new QToolBar(QStringLiteral("工具栏"), this);
  QAction* show_tool_bar = tool_bar_->toggleViewAction();
  show_tool_bar->setText(QStringLiteral("工具栏[&T]"));
  show_tool_bar->setObjectName(QStringLiteral("actionShowToolBar"));
  view->addAction(show_tool_bar);
  QAction* show_status_bar = view->addAction(QStringLiteral("状态栏[&S]"));
  show_status_bar->setObjectName(QStringLiteral("actionShowStatusBar"));
  show_status_bar->setCheckable(true);
  show_status_bar->setChecked(true);
  connect(show_status_bar, &QAction::toggled, statusBar(), &QWidget::setVisible);
  QAction* show_figures = figures_dock_->toggleViewAction();
  show_figures->setText(QStringLiteral("实时统计[&F]"));
  show_figures->setObjectName(QStringLiteral("actionShowFigures"));
  view->addAction(show_figures);

  AddMenu(menuBar(), QStringLiteral("工具[&T]"), QStringLiteral("toolsMenu"),
          {actions_[kCmdOptions], nullptr, actions_[kCmdCreateImage]});
  AddMenu(menuBar(), QStringLiteral("帮助[&H]"), QStringLiteral("helpMenu"), {about_});
}

void MainWindow::BuildToolBar() {
  tool_bar_->setObjectName(QStringLiteral("toolBar"));
  tool_bar_->setMovable(false);
  tool_bar_->setIconSize(QSize(24, 24));
  tool_bar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  addToolBar(Qt::TopToolBarArea, tool_bar_);
  for (const ToolEntry& entry : kToolEntries) {
    if (entry.id == 0) {
      tool_bar_->addSeparator();
      continue;
    }
    QAction* action = entry.id == kAboutEntry ? about_ : actions_[entry.id];
    tool_bar_->addAction(action);
    auto* button = qobject_cast<QToolButton*>(tool_bar_->widgetForAction(action));
    if (button == nullptr) continue;
    button->setObjectName(QStringLiteral("toolButton%1").arg(QLatin1String(entry.label)));
    if (entry.id == kCmdAccessMode) {
      // The arrow beside the button opens the three access commands.
      button->setPopupMode(QToolButton::MenuButtonPopup);
      button->setFixedHeight(kToolButtonSize);
      button->setMinimumWidth(kToolButtonSize);
    } else {
      button->setFixedSize(kToolButtonSize, kToolButtonSize);
    }
  }
}

void MainWindow::RunCommand(int id) {
  switch (id) {
    case kCmdPrint:
      Print();
      return;
    case kCmdPageSetup:
      PageSetup();
      return;
    case kCmdPrintPreview:
      PrintPreview();
      return;
    case kCmdCreateImage:
      CreateImage();
      return;
    default:
      break;
  }
  runner_->Run(id, SelectedRows());  // checks the command's rule itself
  UpdateCommandStates();
}

void MainWindow::UpdateCommandStates() {
  const Selection selection = SelectedRows();
  for (int id : AllCommands()) {
    QAction* action = actions_.value(id);
    if (action == nullptr) continue;
    const bool enabled = IsCommandEnabled(id, *document_, selection);
    action->setEnabled(enabled);
    // Hovering a greyed button or menu item shows why in the status bar.
    action->setStatusTip(
        enabled ? QString() : QString::fromStdString(DisabledReason(id, *document_, selection)));
  }
  // The tool bar's access button is always there to press; on a server row
  // its first read fails and nothing happens.
  actions_[kCmdAccessMode]->setEnabled(true);
}

QAction* MainWindow::AddMenuItem(QMenu& menu, int id, const QString& reason) {
  const QAction* command = actions_[id];
  QAction* item = menu.addAction(command->icon(), command->text());
  item->setObjectName(command->objectName());
  item->setEnabled(reason.isEmpty());
  if (!reason.isEmpty()) {
    // A greyed item says why, in its tool tip and in the status bar.
    item->setToolTip(reason);
    item->setStatusTip(reason);
    menu.setToolTipsVisible(true);
  }
  connect(item, &QAction::triggered, this, [this, id] { RunCommand(id); });
  return item;
}

QString MainWindow::ReasonNow(int id) const {
  return actions_[id]->isEnabled() ? QString() : actions_[id]->statusTip();
}

std::unique_ptr<QMenu> MainWindow::ServerMenu(bool on_tree) {
  UpdateCommandStates();
  const Selection none;
  // On the tree the entry decides: the root and "No Service" target no
  // server; a server entry shows its clients, so the rules target it.
  const bool server_entry = tree_->SelectedData().value_or(kTreeRootData) >= 0;
  const auto reason = [&](int id) {
    if (!on_tree) return ReasonNow(id);
    if (!server_entry) return QStringLiteral("Choose a server entry: this one stands for none.");
    return QString::fromStdString(DisabledReason(id, *document_, none));
  };
  auto menu = std::make_unique<QMenu>();
  AddMenuItem(*menu, kCmdRefresh, QString());
  menu->addSeparator();
  AddMenuItem(*menu, kCmdCreateService, ReasonNow(kCmdCreateService));
  AddMenuItem(*menu, kCmdDeleteService, reason(kCmdDeleteService));
  AddMenuItem(*menu, kCmdStart, reason(kCmdStart));
  AddMenuItem(*menu, kCmdStop, reason(kCmdStop));
  return menu;
}

std::unique_ptr<QMenu> MainWindow::BuildTreeMenu() {
  auto menu = ServerMenu(true);
  menu->setObjectName(QStringLiteral("treeMenu"));
  return menu;
}

std::unique_ptr<QMenu> MainWindow::BuildListMenu() {
  if (document_->showing_servers()) {
    auto menu = ServerMenu(false);
    menu->setObjectName(QStringLiteral("serverListMenu"));
    return menu;
  }
  UpdateCommandStates();
  auto menu = std::make_unique<QMenu>();
  menu->setObjectName(QStringLiteral("clientListMenu"));
  AddMenuItem(*menu, kCmdRefresh, QString());
  menu->addSeparator();
  AddMenuItem(*menu, kCmdAddToStaticList, ReasonNow(kCmdAddToStaticList));
  QMenu* access = menu->addMenu(QStringLiteral("访问控制[&C]"));
  access->setObjectName(QStringLiteral("accessSubMenu"));
  for (int id : {kCmdVirtualProtection, kCmdFullAccess, kCmdRefuseAccess}) {
    AddMenuItem(*access, id, ReasonNow(id));
  }
  access->setEnabled(actions_[kCmdVirtualProtection]->isEnabled());
  access->menuAction()->setToolTip(ReasonNow(kCmdVirtualProtection));
  access->menuAction()->setStatusTip(ReasonNow(kCmdVirtualProtection));
  menu->setToolTipsVisible(true);
  menu->addSeparator();
  AddMenuItem(*menu, kCmdDeleteClient, ReasonNow(kCmdDeleteClient));
  return menu;
}

}  // namespace quensaria::configurator
