// MainWindow: the mounter's window. The list of mounted drives, the tool
// bar, the status bar and the tray icon with its menu; each control starts
// one engine flow through WindowEngine, and the flows' dialogs and boxes
// come from WidgetMountDialogs and UserPrompts. GUI thread; the engine and
// prompts must outlive the window.
#ifndef QUENSARIA_MOUNTER_MAIN_WINDOW_H_
#define QUENSARIA_MOUNTER_MAIN_WINDOW_H_

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <memory>
#include <vector>

#include "mounter/command_line.h"

class QAction;
class QMenu;
class QTableView;

namespace quensaria::mounter {

class DriveListModel;
class UserPrompts;
class WidgetMountDialogs;
class WindowEngine;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // `tray_available`: whether the desktop shows tray icons. Without one,
  // hiding minimises instead, so the window can always be got back.
  MainWindow(WindowEngine& engine, UserPrompts& prompts, bool tray_available,
             QWidget* parent = nullptr);
  ~MainWindow() override;

  // Shows the window as the start mode asks: normally, or (for "-a") only
  // the tray icon, or minimised where there is no tray.
  void Start(StartMode mode);
  // Shows the window normally and brings it to the front (the tray's entry,
  // and a second start of the program).
  void ShowAndRaise();

  // Rescans the drives into the list.
  void Refresh();

  // The tray's menu, rebuilt from the mounted drives each time it opens.
  QMenu* trayMenu() const { return tray_menu_; }
  void RebuildTrayMenu();
  // Double click on the tray icon: shown <-> hidden.
  void ToggleFromTray();

  QTableView* driveList() const { return list_; }
  DriveListModel* driveModel() const { return model_; }

 signals:
  // The user chose Exit (tool bar or tray).
  void exitRequested();

 protected:
  void changeEvent(QEvent* event) override;
  // Closing the window ends the program, as Exit does.
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildToolBar();
  void BuildTray();
  void HideWindow();
  std::vector<char> SelectedLetters() const;
  void MountFrom(int origin);
  void OpenSettings();
  void OpenAbout();
  void OpenSelectedDrive(const QModelIndex& index);
  void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);

  WindowEngine& engine_;
  UserPrompts& prompts_;
  bool tray_available_;
  std::unique_ptr<WidgetMountDialogs> dialogs_;
  DriveListModel* model_;
  QTableView* list_;
  QSystemTrayIcon* tray_;
  QMenu* tray_menu_;
  QMenu* unmount_menu_ = nullptr;  // the tray's unmount submenu, while drives are mounted
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_MAIN_WINDOW_H_
