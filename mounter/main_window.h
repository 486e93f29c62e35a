// MainWindow: the mounter's window. The list of mounted drives, the tool
// bar, the status bar and the tray icon with its menu; each control starts
// one flow of MountManager, run off the GUI thread by FlowRunner. Every
// dialog, box and flow text goes through the UserPrompts given
// (WidgetPrompts when none). While a flow runs the status bar shows what it
// waits for, with a button to stop waiting, and the other flows' controls
// are off. GUI thread; the manager, settings and prompts must outlive the
// window.
#ifndef QUENSARIA_MOUNTER_MAIN_WINDOW_H_
#define QUENSARIA_MOUNTER_MAIN_WINDOW_H_

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <vector>

#include "mounter/command_line.h"

class QAction;
class QLabel;
class QMenu;
class QTableView;

namespace quensaria::mounter {

class DriveListModel;
class FlowRunner;
class MountManager;
class MounterSettings;
class StatusLine;
class UserPrompts;
class WidgetPrompts;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // `tray_available`: whether the desktop shows tray icons. Without one,
  // hiding minimises instead, so the window can always be got back.
  // `program_path` goes into the log-on entry the settings write.
  MainWindow(MountManager& manager, MounterSettings& settings, QString program_path,
             bool tray_available, UserPrompts* prompts = nullptr, QWidget* parent = nullptr);
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
  // The status bar's message, whole (the bar may show it cut, with the
  // whole text as its tool tip).
  QString statusText() const;
  void ShowStatus(const QString& text);
  // Whether a flow runs that the user has not cancelled.
  bool flowRunning() const;
  FlowRunner* flowRunner() const { return runner_.get(); }
  // Stops waiting for the running flow, as its cancel button does.
  void CancelFlow();

 signals:
  // The user chose Exit (tool bar or tray).
  void exitRequested();

 protected:
  void changeEvent(QEvent* event) override;
  // Closing the window ends the program, as Exit does.
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildToolBar();
  void BuildStatusBar();
  void BuildTray();
  // Runs `flow` on the runner; `cancelled_text` is shown if the user stops
  // waiting for it. Does nothing while another flow runs.
  void RunFlow(std::function<void(UserPrompts&)> flow, const QString& cancelled_text);
  void FlowBusyChanged(bool busy);
  void HideWindow();
  std::vector<char> SelectedLetters() const;
  void MountFrom(int origin);
  void OpenSettings();
  void OpenAbout();
  void OpenSelectedDrive(const QModelIndex& index);
  void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);

  MountManager& manager_;
  MounterSettings& settings_;
  QString program_path_;
  bool tray_available_;
  std::unique_ptr<WidgetPrompts> own_prompts_;
  UserPrompts* prompts_;
  std::unique_ptr<FlowRunner> runner_;  // after the prompts: stops before they go
  QString cancelled_text_;
  QAction* mount_ = nullptr;
  QAction* unmount_ = nullptr;
  QAction* remount_ = nullptr;
  StatusLine* status_line_ = nullptr;
  QWidget* busy_pane_ = nullptr;
  QLabel* progress_label_ = nullptr;
  DriveListModel* model_;
  QTableView* list_;
  QSystemTrayIcon* tray_;
  QMenu* tray_menu_;
  QMenu* unmount_menu_ = nullptr;  // the tray's unmount submenu, while drives are mounted
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_MAIN_WINDOW_H_
