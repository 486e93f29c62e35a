// ludrane's window against the real quensaria program: the tree and the
// lists follow what the service holds, sorting, the enabling rules of the
// tool bar and the context menus, printing the lists, the new-image dialog
// from the tools menu. Dialogs and messages are answered by
// RecordingPrompts; the window runs offscreen.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <cstring>

#include "configurator/client/management_client.h"
#include "configurator/document/configurator_defaults.h"
#include "configurator/document/machine_info.h"
#include "configurator/document/prompts_for_testing.h"
#include "configurator/document/server_document.h"
#include "configurator/rules/figures.h"
#include "configurator/widgets/add_client_dialog.h"
#include "configurator/widgets/server_config_dialog.h"
#include "configurator/window/list_model.h"
#include "configurator/window/main_window.h"
#include "configurator/window/new_image_dialog.h"
#include "configurator/window/server_tree.h"
#include "platform/scratch_dir_for_testing.h"
#include "shared/dcerpc.h"
#include "shared/password_digest.h"
#include "tests/block_client_for_testing.h"
#include "tests/pdf_pages_for_testing.h"
#include "tests/program_for_testing.h"

namespace quensaria::configurator {
namespace {

using namespace std::chrono_literals;
using testing::Program;

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t octets[4] = {a, b, c, d};
  uint32_t address;
  std::memcpy(&address, octets, sizeof address);
  return address;
}

class LudraneWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_ = std::make_unique<Program>(
        std::vector<std::string>{QUENSARIA_PROGRAM, "--console", "--state-dir", dir_ + "/state",
                                 "--runtime-dir", runtime_},
        dir_ + "/service.log");
    ASSERT_TRUE(service_->started());
    std::string name;
    for (int i = 0; i < 1000 && outside_.GetServiceName(16, name) != 0; ++i) QTest::qWait(10);
    ASSERT_EQ(name, "Velmoran Server") << service_->Log();
    window_ = std::make_unique<MainWindow>(window_client_, defaults_, machine_, &prompts_);
    window_->ProbeService();  // as the first idle pass does
  }
  void TearDown() override {
    window_.reset();
    service_->Signal(SIGTERM);
    EXPECT_TRUE(service_->Wait(30s).has_value());
  }

  // An image file and a stopped server serving it, added from outside the
  // window (another configurator), with the "Any Address" client.
  Handle AddServer(const std::string& name, bool any_client = true) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path).write("", 0);
    std::filesystem::resize_file(path, 8 << 20);
    ServerConfig config{};
    std::strncpy(config.Source, path.c_str(), sizeof config.Source - 1);
    config.Port = testing::FreePort();
    config.SizeBytes = 8 << 20;
    config.Cache = 4;
    const Sha1Digest digest = PasswordDigest("secret");
    std::memcpy(config.Password, digest.data(), 20);
    std::memcpy(config.ManagePassword, digest.data(), 20);
    Handle server = 0;
    EXPECT_EQ(outside_.AddServer(config, server), 0);
    if (any_client) {
      ClientEntry any{};
      any.access = ACCESS_VIRTUAL_WRITE;
      EXPECT_EQ(outside_.AddStaticClient(server, any), 0);
    }
    return server;
  }
  void AddClient(Handle server, uint32_t address, uint8_t access = ACCESS_VIRTUAL_WRITE) {
    ClientEntry entry{};
    entry.address = address;
    entry.access = access;
    ASSERT_EQ(outside_.AddStaticClient(server, entry), 0);
  }
  uint16_t PortOf(Handle server) {
    ServerConfig config{};
    EXPECT_EQ(outside_.GetServer(server, config), 0);
    return config.Port;
  }

  void Trigger(int id) { window_->CommandAction(id)->trigger(); }
  bool Enabled(int id) { return window_->CommandAction(id)->isEnabled(); }
  QStringList TreeTexts() {
    QStringList texts;
    for (int i = 0; i < window_->tree()->root()->childCount(); ++i)
      texts << window_->tree()->root()->child(i)->text(0);
    return texts;
  }
  QString Cell(int row, int column) {
    return window_->list_view()->model()->index(row, column).data().toString();
  }
  QStringList Column(int column) {
    QStringList texts;
    for (int row = 0; row < window_->list_view()->model()->rowCount(); ++row)
      texts << Cell(row, column);
    return texts;
  }
  QStringList Headers() {
    QStringList texts;
    const QAbstractItemModel* model = window_->list_view()->model();
    for (int c = 0; c < model->columnCount(); ++c)
      texts << model->headerData(c, Qt::Horizontal).toString();
    return texts;
  }
  void SelectRow(int row, bool add = false) {
    QItemSelectionModel* selection = window_->list_view()->selectionModel();
    const QModelIndex index = window_->list_view()->model()->index(row, 0);
    selection->select(index,
                      (add ? QItemSelectionModel::Select : QItemSelectionModel::ClearAndSelect) |
                          QItemSelectionModel::Rows);
  }
  void ChooseTree(qint64 entry) { window_->tree()->setCurrentItem(window_->tree()->Find(entry)); }
  void ClickHeader(int column) {
    QHeaderView* header = window_->list_view()->horizontalHeader();
    const QPoint at(header->sectionViewportPosition(column) + 5, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
  }
  // A menu's enabled actions, by object name.
  static QStringList EnabledIn(const QMenu& menu) {
    QStringList names;
    for (QAction* action : menu.actions()) {
      if (!action->isSeparator() && action->isEnabled()) {
        names << (action->menu() != nullptr ? action->menu()->objectName() : action->objectName());
      }
    }
    return names;
  }
  // Reads the PDF printed from the window as text, one string per page.
  QStringList PrintPages() {
    const std::string pdf = dir_ + "/list.pdf";
    window_->printer().setOutputFormat(QPrinter::PdfFormat);
    window_->printer().setOutputFileName(QString::fromStdString(pdf));
    prompts_.on_exec = [](QDialog&) { return QDialog::Accepted; };  // the print dialog's OK
    Trigger(kCmdPrint);
    EXPECT_EQ(prompts_.executed.last(), "printDialog");
    return testing::PdfPages(pdf);
  }

  testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.path().string();
  const std::string runtime_ = dir_ + "/run";
  std::unique_ptr<Program> service_;
  ManagementClient outside_{runtime_, 10s};
  ManagementClient window_client_{runtime_, 10s};
  ConfiguratorDefaults defaults_{QString::fromStdString(dir_ + "/Quensaria.conf")};
  MachineInfo machine_;
  RecordingPrompts prompts_;
  std::unique_ptr<MainWindow> window_;
};

TEST_F(LudraneWindowTest, AnEmptyServiceShowsNoServiceAndAnEmptyServerList) {
  EXPECT_EQ(window_->connection_pane()->text(), "Connected:LocalHost");
  EXPECT_EQ(window_->windowTitle(), "Quensaria Server - Services List");
  EXPECT_EQ(window_->tree()->root()->text(0), "Local Services");
  EXPECT_TRUE(window_->tree()->root()->isExpanded());
  EXPECT_EQ(TreeTexts(), QStringList{"No Service"});
  EXPECT_EQ(Headers(), (QStringList{"数据位置", "侦听 IP", "端口", "容量", "缓存", "状态"}));
  EXPECT_EQ(window_->list_view()->model()->rowCount(), 0);
  const int widths[] = {200, 100, 60, 80, 60, 80};
  for (int c = 0; c < 6; ++c) EXPECT_EQ(window_->list_view()->columnWidth(c), widths[c]) << c;

  ChooseTree(kNoServiceData);
  EXPECT_EQ(window_->windowTitle(), "Quensaria Server - Clients List");
  EXPECT_TRUE(window_->document().showing_servers());
  EXPECT_EQ(Headers().size(), 6);
}

TEST_F(LudraneWindowTest, TreeAndListFollowCreateStartStopAndDelete) {
  const Handle first = AddServer("first.img");
  const Handle second = AddServer("second.img");
  Trigger(kCmdRefresh);
  const QString first_entry = QStringLiteral("0.0.0.0:%1").arg(PortOf(first));
  const QString second_entry = QStringLiteral("0.0.0.0:%1").arg(PortOf(second));
  EXPECT_EQ(TreeTexts(), (QStringList{first_entry, second_entry}));
  ASSERT_EQ(window_->list_view()->model()->rowCount(), 2);
  EXPECT_EQ(Cell(0, 0), QString::fromStdString(dir_ + "/first.img"));
  EXPECT_EQ(Cell(0, 1), "0.0.0.0");
  EXPECT_EQ(Cell(0, 3), "8 M");
  EXPECT_EQ(Column(5), (QStringList{"已停止", "已停止"}));

  // Start the second one from the window: its row and its tree entry turn red.
  SelectRow(1);
  ASSERT_TRUE(Enabled(kCmdStart));
  EXPECT_FALSE(Enabled(kCmdStop));
  Trigger(kCmdStart);
  EXPECT_EQ(Column(5), (QStringList{"已停止", "已启动"}));
  const QColor red(255, 0, 0);
  EXPECT_EQ(window_->list_view()->model()->index(1, 2).data(Qt::ForegroundRole).value<QColor>(),
            red);
  EXPECT_FALSE(window_->list_view()->model()->index(0, 2).data(Qt::ForegroundRole).isValid());
  Trigger(kCmdRefresh);
  EXPECT_EQ(window_->tree()->Find(second)->foreground(0).color(), red);
  EXPECT_NE(window_->tree()->Find(first)->foreground(0).color(), red);

  SelectRow(1);
  ASSERT_TRUE(Enabled(kCmdStop));
  Trigger(kCmdStop);
  EXPECT_EQ(Column(5), (QStringList{"已停止", "已停止"}));

  // Delete the first from the window, answering the question.
  SelectRow(0);
  Trigger(kCmdDeleteService);
  ASSERT_EQ(prompts_.questions.size(), 1);
  EXPECT_TRUE(prompts_.questions[0].startsWith("Are you sure: After deleted this server"));
  EXPECT_EQ(TreeTexts(), QStringList{second_entry});
  EXPECT_EQ(Column(0), QStringList{QString::fromStdString(dir_ + "/second.img")});

  // Deleted from outside, the last one leaves "No Service" after a refresh.
  ASSERT_EQ(outside_.DeleteServer(second), 0);
  Trigger(kCmdRefresh);
  EXPECT_EQ(TreeTexts(), QStringList{"No Service"});
  EXPECT_EQ(window_->list_view()->model()->rowCount(), 0);

  // Created from the window (Ctrl+N): the tree and the list show it at once.
  const std::string image = dir_ + "/created.img";
  std::ofstream(image).write("", 0);
  std::filesystem::resize_file(image, 4 << 20);
  const uint16_t port = testing::FreePort();
  prompts_.on_exec = [&](QDialog& dialog) {
    auto& create = dynamic_cast<ServerConfigDialog&>(dialog);
    create.SetSourceKind(SourceKind::kFile);
    create.path_edit()->setText(QString::fromStdString(image));
    create.TakeSizeFromFile();
    create.port_edit()->setText(QString::number(port));
    create.accept();
    return create.result();
  };
  Trigger(kCmdCreateService);
  EXPECT_EQ(TreeTexts(), QStringList{QStringLiteral("0.0.0.0:%1").arg(port)});
  EXPECT_EQ(Column(0), QStringList{QString::fromStdString(image)});
  EXPECT_EQ(Column(5), QStringList{"已停止"});
}

TEST_F(LudraneWindowTest, DeletingTheServerWhoseClientsAreShownLeavesAnEmptyList) {
  const Handle keep = AddServer("keep.img");
  const Handle doomed = AddServer("doomed.img");
  AddClient(doomed, Address(10, 0, 0, 9));
  Trigger(kCmdRefresh);
  ChooseTree(doomed);
  EXPECT_EQ(window_->windowTitle(), "Quensaria Server - Clients List");
  EXPECT_EQ(Headers(), (QStringList{"IP 地址", "计算机名", "访问控制", "状态"}));
  EXPECT_EQ(Column(0), (QStringList{"0.0.0.0", "10.0.0.9"}));
  EXPECT_EQ(Cell(0, 1), "任何地址");
  EXPECT_EQ(Cell(0, 2), "虚拟写保护");
  EXPECT_EQ(Cell(0, 3), "静态");

  ASSERT_TRUE(Enabled(kCmdDeleteService));  // a client list targets its server
  Trigger(kCmdDeleteService);
  EXPECT_EQ(window_->list_view()->model()->rowCount(), 0);
  EXPECT_EQ(Headers().size(), 4);
  EXPECT_EQ(TreeTexts(), QStringList{QStringLiteral("0.0.0.0:%1").arg(PortOf(keep))});
  EXPECT_EQ(window_->tree()->Find(doomed), nullptr);
  EXPECT_FALSE(window_->tree()->SelectedData().has_value());
  // Nothing is left to act on: the server commands and Add are off, and
  // say why; the list's menu offers only what can run.
  for (const int id : {kCmdDeleteService, kCmdAddStaticClient, kCmdStart, kCmdStop}) {
    EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_EQ(window_->CommandAction(id)->statusTip(),
              "The server no longer exists: it was deleted.")
        << id;
  }
  EXPECT_EQ(EnabledIn(*window_->BuildListMenu()), QStringList{"actionRefresh"});
  prompts_.executed.clear();
  Trigger(kCmdAddStaticClient);
  EXPECT_TRUE(prompts_.executed.isEmpty());
  EXPECT_TRUE(prompts_.messages.isEmpty());
  Trigger(kCmdRefresh);
  EXPECT_FALSE(Enabled(kCmdAddStaticClient));
}

// The add-client dialog of a server deleted while it is open says so,
// rather than showing an empty message box.
TEST_F(LudraneWindowTest, AddingToAServerDeletedMeanwhileSaysWhy) {
  const Handle server = AddServer("brief.img");
  Trigger(kCmdRefresh);
  ChooseTree(server);
  ASSERT_TRUE(Enabled(kCmdAddStaticClient));
  prompts_.script = [&](QDialog& dialog) {
    auto& add = dynamic_cast<AddClientDialog&>(dialog);
    ASSERT_EQ(outside_.DeleteServer(server), 0);
    add.SetKind(ClientKind::kAddress);
    add.accept();
  };
  Trigger(kCmdAddStaticClient);
  prompts_.script = nullptr;
  EXPECT_EQ(prompts_.messages, QStringList{kServerGoneText});
}

// A right click chooses the row under the mouse (unless it is part of the
// selection already), so the menu's commands act on what the user pointed
// at; a greyed item carries its reason.
TEST_F(LudraneWindowTest, RightClickSelectsTheRowAndGreyedItemsSayWhy) {
  const Handle a = AddServer("a.img");
  const Handle b = AddServer("b.img");
  ASSERT_EQ(outside_.StartServer(b), 0);
  Trigger(kCmdRefresh);
  QTableView* list = window_->list_view();
  const QModelIndex second = list->model()->index(1, 0);
  window_->SelectForContextMenu(second);
  EXPECT_EQ(window_->SelectedRows().handles, std::vector<Handle>{b});
  std::unique_ptr<QMenu> menu = window_->BuildListMenu();
  EXPECT_EQ(EnabledIn(*menu), (QStringList{"actionRefresh", "actionCreateService",
                                           "actionDeleteService", "actionStop"}));
  QAction* start = menu->findChild<QAction*>("actionStart");
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(start->toolTip(), "The server is started already.");
  EXPECT_TRUE(menu->toolTipsVisible());
  // Within a selection of two, the selection stays.
  SelectRow(0);
  SelectRow(1, true);
  window_->SelectForContextMenu(second);
  EXPECT_EQ(window_->SelectedRows().handles, (std::vector<Handle>{a, b}));
  EXPECT_EQ(window_->CommandAction(kCmdStart)->statusTip(),
            "Some of the chosen servers are started already.");
  // Beside the rows: nothing chosen.
  window_->SelectForContextMenu(QModelIndex());
  EXPECT_TRUE(window_->SelectedRows().handles.empty());
  EXPECT_EQ(window_->CommandAction(kCmdDeleteService)->statusTip(),
            "Select the servers to delete.");
  // The real right click, through the view.
  const QRect row0 = list->visualRect(list->model()->index(0, 1));
  QTimer closer;  // closes the menu once it is open
  QObject::connect(&closer, &QTimer::timeout, [] {
    if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
  });
  closer.start(20);
  QContextMenuEvent event(QContextMenuEvent::Mouse, row0.center(),
                          list->viewport()->mapToGlobal(row0.center()));
  QApplication::sendEvent(list->viewport(), &event);
  closer.stop();
  EXPECT_EQ(window_->SelectedRows().handles, std::vector<Handle>{a});
}

TEST_F(LudraneWindowTest, SortingBothWaysKeepsEachRowsHandle) {
  const Handle server = AddServer("sorted.img");
  AddClient(server, Address(10, 0, 0, 10));
  AddClient(server, Address(192, 168, 1, 1));
  AddClient(server, Address(10, 0, 0, 9));
  Trigger(kCmdRefresh);
  ChooseTree(server);
  const QStringList service_order{"0.0.0.0", "10.0.0.10", "192.168.1.1", "10.0.0.9"};
  ASSERT_EQ(Column(0), service_order);
  QHeaderView* header = window_->list_view()->horizontalHeader();
  EXPECT_EQ(header->sortIndicatorSection(), -1);

  ClickHeader(0);
  EXPECT_EQ(Column(0), (QStringList{"10.0.0.9", "10.0.0.10", "192.168.1.1", "0.0.0.0"}));
  EXPECT_EQ(header->sortIndicatorSection(), 0);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
  ClickHeader(0);
  EXPECT_EQ(Column(0), (QStringList{"0.0.0.0", "192.168.1.1", "10.0.0.10", "10.0.0.9"}));
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);

  // The computer names: "任何地址" after the Latin texts, case ignored.
  ClickHeader(1);
  EXPECT_EQ(header->sortIndicatorSection(), 1);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
  const QStringList names = Column(1);
  ASSERT_EQ(names.size(), 4);
  EXPECT_EQ(names.indexOf("任何地址"), names.lastIndexOf("任何地址"));
  for (int i = 0; i + 1 < names.size(); ++i) {
    EXPECT_LE(QString::compare(names[i], names[i + 1], Qt::CaseInsensitive), 0)
        << names.join('|').toStdString();
  }
  ClickHeader(1);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
  EXPECT_GE(QString::compare(Column(1).first(), Column(1).last(), Qt::CaseInsensitive), 0);

  // Sorted by address, the first row shown is 10.0.0.9: deleting it deletes
  // that client, whatever its place in the service's order.
  ClickHeader(0);
  ASSERT_EQ(Cell(0, 0), "10.0.0.9");
  SelectRow(0);
  ASSERT_TRUE(Enabled(kCmdDeleteClient));
  Trigger(kCmdDeleteClient);
  // The rebuild shows the service's order again, without an arrow.
  EXPECT_EQ(Column(0), (QStringList{"0.0.0.0", "10.0.0.10", "192.168.1.1"}));
  EXPECT_EQ(header->sortIndicatorSection(), -1);
}

TEST_F(LudraneWindowTest, ToolBarAndContextMenusFollowTheEnablingRules) {
  const Handle stopped = AddServer("stopped.img");
  const Handle started = AddServer("started.img");
  ASSERT_EQ(outside_.StartServer(started), 0);
  Trigger(kCmdRefresh);

  // The tool bar: 11 buttons and 5 separators, 55 × 55, text under the image.
  QToolBar* bar = window_->tool_bar();
  ASSERT_EQ(bar->actions().size(), 16);
  QStringList labels;
  for (QAction* action : bar->actions()) {
    if (action->isSeparator()) continue;
    labels << action->iconText();
    auto* button = qobject_cast<QToolButton*>(bar->widgetForAction(action));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->height(), 55);
    if (action != window_->CommandAction(kCmdAccessMode)) {
      EXPECT_EQ(button->width(), 55);
    }
  }
  EXPECT_EQ(labels, (QStringList{"Create", "Delete", "Start", "Stop", "Refresh", "Add", "Remove",
                                 "Access", "Options", "Print", "About"}));
  EXPECT_EQ(bar->iconSize(), QSize(24, 24));
  EXPECT_EQ(bar->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);

  // Server list, nothing selected.
  EXPECT_TRUE(Enabled(kCmdCreateService));
  EXPECT_FALSE(Enabled(kCmdDeleteService));
  EXPECT_FALSE(Enabled(kCmdStart));
  EXPECT_FALSE(Enabled(kCmdStop));
  EXPECT_FALSE(Enabled(kCmdAddStaticClient));
  EXPECT_FALSE(Enabled(kCmdDeleteClient));
  EXPECT_TRUE(Enabled(kCmdAccessMode));
  EXPECT_TRUE(Enabled(kCmdRefresh));
  EXPECT_EQ(EnabledIn(*window_->BuildListMenu()),
            (QStringList{"actionRefresh", "actionCreateService"}));
  SelectRow(0);
  EXPECT_EQ(
      EnabledIn(*window_->BuildListMenu()),
      (QStringList{"actionRefresh", "actionCreateService", "actionDeleteService", "actionStart"}));
  SelectRow(1, true);  // one stopped and one started: neither start nor stop
  EXPECT_FALSE(Enabled(kCmdStart));
  EXPECT_FALSE(Enabled(kCmdStop));

  // The tree's menu: greyed for the root and by the entry's state.
  ChooseTree(kTreeRootData);
  EXPECT_EQ(EnabledIn(*window_->BuildTreeMenu()),
            (QStringList{"actionRefresh", "actionCreateService"}));
  ChooseTree(started);
  EXPECT_EQ(
      EnabledIn(*window_->BuildTreeMenu()),
      (QStringList{"actionRefresh", "actionCreateService", "actionDeleteService", "actionStop"}));
  ChooseTree(stopped);
  EXPECT_EQ(
      EnabledIn(*window_->BuildTreeMenu()),
      (QStringList{"actionRefresh", "actionCreateService", "actionDeleteService", "actionStart"}));

  // A client list with a static row and an online one.
  AddClient(started, Address(127, 0, 0, 1), ACCESS_FULL);
  testing::BlockClient block;
  ASSERT_EQ(block.Connect(PortOf(started), htonl(0x7F000005)), 0);
  ASSERT_EQ(block.Login("secret").reply.status, REPLY_OK);
  ChooseTree(started);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        Trigger(kCmdRefresh);
        return Column(3).contains("在线");
      },
      20000));
  EXPECT_TRUE(Enabled(kCmdAddStaticClient));
  const int online = static_cast<int>(Column(3).indexOf("在线"));
  EXPECT_EQ(Cell(online, 0), "127.0.0.5");
  EXPECT_EQ(
      window_->list_view()->model()->index(online, 0).data(Qt::ForegroundRole).value<QColor>(),
      QColor(255, 0, 0));
  SelectRow(online);
  EXPECT_FALSE(Enabled(kCmdDeleteClient));
  EXPECT_EQ(EnabledIn(*window_->BuildListMenu()),
            (QStringList{"actionRefresh", "actionAddToStaticList"}));
  SelectRow(0);  // "Any Address", static
  EXPECT_TRUE(Enabled(kCmdDeleteClient));
  EXPECT_TRUE(Enabled(kCmdVirtualProtection));
  EXPECT_EQ(EnabledIn(*window_->BuildListMenu()),
            (QStringList{"actionRefresh", "accessSubMenu", "actionDeleteClient"}));
  SelectRow(online, true);
  EXPECT_FALSE(Enabled(kCmdDeleteClient));
  EXPECT_TRUE(Enabled(kCmdAddToStaticList));
}

TEST_F(LudraneWindowTest, PrintsEachListWithItsHeadingsAndPages) {
  const Handle server = AddServer("printed.img", false);
  Trigger(kCmdRefresh);
  QStringList pages = PrintPages();
  ASSERT_EQ(pages.size(), 1);
  EXPECT_TRUE(pages[0].contains("Quensaria Server"));
  EXPECT_TRUE(pages[0].contains("Servers List"));
  for (const char* header : {"数据位置", "侦听 IP", "端口", "容量", "缓存", "状态"}) {
    EXPECT_TRUE(pages[0].contains(QString::fromUtf8(header))) << header;
  }
  EXPECT_TRUE(pages[0].contains(QString::fromStdString(dir_ + "/printed.img")));
  EXPECT_TRUE(pages[0].contains("已停止"));
  EXPECT_TRUE(pages[0].contains("Page 1 of 1"));

  // Sixty clients: the pages hold them all, numbered "Page n of N".
  for (int i = 1; i <= 60; ++i) AddClient(server, Address(10, 0, 1, static_cast<uint8_t>(i)));
  ChooseTree(server);
  ASSERT_EQ(window_->list_view()->model()->rowCount(), 60);
  pages = PrintPages();
  ASSERT_GE(pages.size(), 2);
  const int count = static_cast<int>(pages.size());
  for (int page = 1; page <= count; ++page) {
    EXPECT_TRUE(pages[page - 1].contains("Clients List")) << page;
    EXPECT_TRUE(pages[page - 1].contains("计算机名")) << page;
    EXPECT_TRUE(pages[page - 1].contains(QStringLiteral("Page %1 of %2").arg(page).arg(count)))
        << page;
  }
  for (int i = 1; i <= 60; ++i) {
    int seen = 0;
    for (const QString& page : pages)
      seen += static_cast<int>(page.count(QStringLiteral("10.0.1.%1 ").arg(i)));
    EXPECT_EQ(seen, 1) << i;
  }

  // Print preview: Page Down and Page Up turn the pages, Esc closes.
  window_->printer().setOutputFileName(QString());
  int shown_pages = 0, after_down = 0, after_up = 0;
  bool closed = false;
  prompts_.on_exec = [&](QDialog& dialog) -> int {
    dialog.show();
    dialog.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&dialog));
    auto* preview = dialog.findChild<QPrintPreviewWidget*>();
    EXPECT_NE(preview, nullptr);
    if (preview == nullptr) return QDialog::Rejected;
    preview->updatePreview();
    shown_pages = preview->pageCount();
    QTest::keyClick(&dialog, Qt::Key_PageDown);
    after_down = preview->currentPage();
    QTest::keyClick(&dialog, Qt::Key_PageUp);
    after_up = preview->currentPage();
    QTest::keyClick(&dialog, Qt::Key_Escape);
    closed = !dialog.isVisible();
    return dialog.result();
  };
  Trigger(kCmdPrintPreview);
  EXPECT_EQ(prompts_.executed.last(), "printPreviewDialog");
  EXPECT_EQ(shown_pages, count);
  EXPECT_EQ(after_down, 2);
  EXPECT_EQ(after_up, 1);
  EXPECT_TRUE(closed);
}

// A range that starts after the last page has nothing to print: it is
// refused with a word, not printed as an empty job that looks done.
TEST_F(LudraneWindowTest, APrintRangePastTheLastPageIsRefused) {
  AddServer("printed.img", false);
  Trigger(kCmdRefresh);
  const QString pdf = QString::fromStdString(dir_ + "/list.pdf");
  window_->printer().setOutputFormat(QPrinter::PdfFormat);
  window_->printer().setOutputFileName(pdf);
  window_->printer().setFromTo(3, 4);
  prompts_.on_exec = [](QDialog&) { return QDialog::Accepted; };
  Trigger(kCmdPrint);
  EXPECT_EQ(prompts_.messages, QStringList{"The print range starts after the last page."});
  EXPECT_FALSE(QFile::exists(pdf)) << "an empty job was printed";

  // Within the range, the last page still prints.
  prompts_.messages.clear();
  window_->printer().setFromTo(1, 4);
  EXPECT_EQ(PrintPages().size(), 1);
  EXPECT_TRUE(prompts_.messages.isEmpty());
}

TEST_F(LudraneWindowTest, MenusShortcutsAndBars) {
  QStringList titles;
  for (QAction* menu : window_->menuBar()->actions()) titles << menu->text();
  EXPECT_EQ(titles, (QStringList{"服务[&S]", "客户端[&C]", "视图[&V]", "工具[&T]", "帮助[&H]"}));
  QStringList service;
  for (QAction* item : window_->menuBar()->actions()[0]->menu()->actions()) {
    service << (item->isSeparator() ? QStringLiteral("|") : item->data().toString());
  }
  EXPECT_EQ(service, (QStringList{"57600", "32771", "|", "32776", "32777", "|", "57607", "57606",
                                  "57609", "|", ""}));
  const std::pair<int, const char*> shortcuts[] = {
      {kCmdCreateService, "Ctrl+N"}, {kCmdSelectAll, "Ctrl+A"}, {kCmdDeleteClient, "Del"},
      {kCmdDeleteService, "Ctrl+D"}, {kCmdStart, "Ctrl+S"},     {kCmdStop, "Ctrl+T"},
      {kCmdPrint, "Ctrl+P"}};
  for (const auto& [id, keys] : shortcuts) {
    EXPECT_EQ(window_->CommandAction(id)->shortcut(), QKeySequence(QString::fromLatin1(keys)))
        << id;
  }

  // Select All selects every row; the view menu hides and shows the bars.
  AddServer("a.img");
  AddServer("b.img");
  Trigger(kCmdRefresh);
  Trigger(kCmdSelectAll);
  EXPECT_EQ(window_->SelectedRows().handles.size(), 2u);
  window_->show();
  window_->findChild<QAction*>("actionShowToolBar")->trigger();
  EXPECT_FALSE(window_->tool_bar()->isVisible());
  window_->findChild<QAction*>("actionShowStatusBar")->trigger();
  EXPECT_FALSE(window_->statusBar()->isVisible());
  window_->findChild<QAction*>("actionShowToolBar")->trigger();
  window_->findChild<QAction*>("actionShowStatusBar")->trigger();
  EXPECT_TRUE(window_->tool_bar()->isVisible());
  EXPECT_TRUE(window_->statusBar()->isVisible());
}

// The figures pane follows the list: every server under the root, the shown
// server with its clients, each refresh reading them again.
TEST_F(LudraneWindowTest, FiguresPaneShowsWhatTheListShowsAndRefreshesWithIt) {
  const Handle busy = AddServer("busy.img");
  const Handle idle = AddServer("idle.img");
  AddClient(busy, Address(127, 0, 0, 9), ACCESS_FULL);
  ASSERT_EQ(outside_.StartServer(busy), 0);
  Trigger(kCmdRefresh);
  QTableView* figures = window_->figures_view();
  ASSERT_NE(figures, nullptr);
  const QAbstractItemModel* model = figures->model();
  QStringList headers;
  for (int c = 0; c < model->columnCount(); ++c)
    headers << model->headerData(c, Qt::Horizontal).toString();
  EXPECT_EQ(headers, (QStringList{"服务", "在线", "连接", "读请求", "读取", "写请求", "写入",
                                  "错误", "延迟 p50", "延迟 p99", "缓存命中", "缓存填充", "状态"}));
  ASSERT_EQ(model->rowCount(), 2);
  const auto cell = [&](int row, int column) {
    return model->index(row, column).data().toString();
  };
  EXPECT_EQ(cell(0, 0), QStringLiteral("0.0.0.0:%1").arg(PortOf(busy)));
  EXPECT_EQ(cell(0, 12), "已启动");
  EXPECT_EQ(cell(0, 3), "0");
  EXPECT_EQ(cell(0, 8), "-");
  EXPECT_EQ(cell(1, 12), "已停止");
  EXPECT_EQ(model->index(0, 0).data(Qt::ToolTipRole).toString(),
            QString::fromStdString(dir_ + "/busy.img"));
  EXPECT_EQ(model->index(0, 3).data(Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignRight,
            Qt::AlignRight);

  // A client reads and writes; the next refresh shows it.
  testing::BlockClient block;
  ASSERT_EQ(block.Connect(PortOf(busy), Address(127, 0, 0, 9)), 0);
  ASSERT_EQ(block.Login("secret").reply.status, REPLY_OK);
  std::vector<uint8_t> data;
  for (int i = 0; i < 6; ++i) ASSERT_EQ(block.Read(65536 * i, 65536, data).reply.status, REPLY_OK);
  const std::vector<uint8_t> payload(8192, 7);
  ASSERT_EQ(block.Write(0, payload.data(), 8192).reply.status, REPLY_OK);
  ASSERT_EQ(block.Write(8 << 20, payload.data(), 8192).reply.status, REPLY_FAILED);
  for (int i = 0; i < 500 && cell(0, 5) != "2"; ++i) {  // the last answer is counted just after
    QTest::qWait(10);
    Trigger(kCmdRefresh);
  }
  EXPECT_EQ(cell(0, 1), "1");
  EXPECT_EQ(cell(0, 2), "1");
  EXPECT_EQ(cell(0, 3), "6");
  EXPECT_EQ(cell(0, 4), "384 KiB");
  EXPECT_EQ(cell(0, 5), "2");
  EXPECT_EQ(cell(0, 6), "8.0 KiB");
  EXPECT_EQ(cell(0, 7), "1");
  EXPECT_NE(cell(0, 9), "-");
  EXPECT_EQ(cell(1, 3), "0");

  // The clients of one server: its figures alone; the rebuild timer's pass
  // (as any rebuild) reads them again.
  ChooseTree(idle);
  ASSERT_EQ(model->rowCount(), 1);
  EXPECT_EQ(cell(0, 0), QStringLiteral("0.0.0.0:%1").arg(PortOf(idle)));
  ChooseTree(busy);
  ASSERT_EQ(model->rowCount(), 1);
  EXPECT_EQ(cell(0, 3), "6");
  ASSERT_EQ(block.Read(0, 512, data).reply.status, REPLY_OK);
  for (int i = 0; i < 500 && cell(0, 3) != "7"; ++i) {
    QTest::qWait(10);
    window_->document().RefreshView();
  }
  EXPECT_EQ(cell(0, 3), "7");
  EXPECT_TRUE(window_->figures_note()->isHidden());

  // The view menu hides and shows the pane.
  window_->show();
  QAction* show = window_->findChild<QAction*>("actionShowFigures");
  ASSERT_NE(show, nullptr);
  show->trigger();
  EXPECT_FALSE(figures->isVisible());
  show->trigger();
  EXPECT_TRUE(figures->isVisible());
}

// A service from before the figures: the pane says so, the lists work on.
class OlderService : public ManagementOperations {
 public:
  explicit OlderService(ManagementOperations& real) : real_(real) {}
  int32_t GetServerStats(Handle, ServerStats&) override {
    return static_cast<int32_t>(rpc::RPC_S_PROCNUM_OUT_OF_RANGE);
  }
  int32_t GetServiceName(int32_t n, std::string& t) override { return real_.GetServiceName(n, t); }
  int32_t GetLastErrorText(int32_t n, std::string& t) override {
    return real_.GetLastErrorText(n, t);
  }
  int32_t AddServer(const ServerConfig& c, Handle& s) override { return real_.AddServer(c, s); }
  int32_t EnumServers(Handle s, Handle& n) override { return real_.EnumServers(s, n); }
  int32_t GetServer(Handle s, ServerConfig& c) override { return real_.GetServer(s, c); }
  int32_t StartServer(Handle s) override { return real_.StartServer(s); }
  int32_t StopServer(Handle s) override { return real_.StopServer(s); }
  int32_t DeleteServer(Handle s) override { return real_.DeleteServer(s); }
  int32_t AddStaticClient(Handle s, const ClientEntry& e) override {
    return real_.AddStaticClient(s, e);
  }
  int32_t EnumStaticClients(Handle s, Handle c, Handle& n) override {
    return real_.EnumStaticClients(s, c, n);
  }
  int32_t GetStaticClient(Handle c, ClientEntry& e) override { return real_.GetStaticClient(c, e); }
  int32_t DeleteStaticClient(Handle s, Handle c) override { return real_.DeleteStaticClient(s, c); }
  int32_t ModifyStaticClient(Handle c, const ClientEntry& e) override {
    return real_.ModifyStaticClient(c, e);
  }
  int32_t AddOnlineClient(Handle s, const ClientEntry& e) override {
    return real_.AddOnlineClient(s, e);
  }
  int32_t EnumOnlineClients(Handle s, Handle c, Handle& n) override {
    return real_.EnumOnlineClients(s, c, n);
  }
  int32_t GetOnlineClient(Handle c, ClientEntry& e) override { return real_.GetOnlineClient(c, e); }
  int32_t DeleteOnlineClient(Handle s, Handle c) override { return real_.DeleteOnlineClient(s, c); }
  int32_t ModifyOnlineClient(Handle c, const ClientEntry& e) override {
    return real_.ModifyOnlineClient(c, e);
  }

 private:
  ManagementOperations& real_;
};

TEST_F(LudraneWindowTest, AnOlderServiceGetsANoteInsteadOfFigures) {
  AddServer("old.img");
  OlderService older(window_client_);
  window_ = std::make_unique<MainWindow>(older, defaults_, machine_, &prompts_);
  window_->ProbeService();
  window_->show();
  EXPECT_EQ(window_->list_view()->model()->rowCount(), 1);
  EXPECT_TRUE(window_->figures_note()->isVisible());
  EXPECT_EQ(window_->figures_note()->text(), "此版本的 Quensaria 服务不提供实时统计");
  EXPECT_FALSE(window_->figures_view()->isVisible());
}

TEST_F(LudraneWindowTest, RefreshKeepsTheTreesSelection) {
  const Handle server = AddServer("kept.img");
  AddServer("other.img");
  Trigger(kCmdRefresh);
  ChooseTree(server);
  Trigger(kCmdRefresh);
  EXPECT_EQ(window_->tree()->SelectedData(), std::optional<qint64>(server));
  EXPECT_EQ(window_->document().shown_server(), std::optional<Handle>(server));
  EXPECT_EQ(Headers().size(), 4);
  EXPECT_EQ(window_->windowTitle(), "Quensaria Server - Clients List");
}

TEST_F(LudraneWindowTest, ToolsMenuCreatesAnImage) {
  const std::string path = dir_ + "/new.img";
  bool finished = false;
  prompts_.on_exec = [&](QDialog& dialog) {
    auto& image = dynamic_cast<NewImageDialog&>(dialog);
    image.path_field()->setText(QString::fromStdString(path));
    QObject::connect(&image, &NewImageDialog::creationFinished, [&](bool ok) { finished = ok; });
    image.accept();
    EXPECT_TRUE(QTest::qWaitFor([&] { return finished; }, 60000));
    return QDialog::Rejected;  // "关闭[&X]"
  };
  Trigger(kCmdCreateImage);
  EXPECT_EQ(prompts_.executed, QStringList{"newImageDialog"});
  EXPECT_TRUE(finished);
  EXPECT_EQ(prompts_.messages, QStringList{"Create complete!"});
  EXPECT_EQ(std::filesystem::file_size(path), 200u << 20);
}

TEST_F(LudraneWindowTest, StoppedServiceShowsNoQuensariaService) {
  service_->Signal(SIGTERM);
  ASSERT_TRUE(service_->Wait(30s).has_value());
  window_->ProbeService();
  EXPECT_EQ(window_->connection_pane()->text(), "No Quensaria Service");
  EXPECT_FALSE(Enabled(kCmdCreateService));
  EXPECT_EQ(window_->list_view()->model()->rowCount(), 0);
}

}  // namespace
}  // namespace quensaria::configurator
