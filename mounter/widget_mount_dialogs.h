// WidgetMountDialogs: the engine's MountDialogs answered by the window's
// real dialogs. Boxes go through UserPrompts; status texts and list
// refreshes go back to the window through the two callbacks. GUI thread;
// the engine and prompts must outlive it.
#ifndef QUENSARIA_MOUNTER_WIDGET_MOUNT_DIALOGS_H_
#define QUENSARIA_MOUNTER_WIDGET_MOUNT_DIALOGS_H_

#include <functional>

#include "mounter/mount_dialogs.h"

class QWidget;

namespace quensaria::mounter {

class UserPrompts;
class WindowEngine;

class WidgetMountDialogs final : public MountDialogs {
 public:
  WidgetMountDialogs(QWidget* parent, WindowEngine& engine, UserPrompts& prompts,
                     std::function<void(const QString&)> show_status,
                     std::function<void()> refresh_list);

  std::optional<AddDeviceAnswer> AskAddDevice() override;
  std::optional<PasswordAnswer> AskPassword(PasswordPrompt prompt,
                                            const QString& resource) override;
  bool AskYesNo(const QString& question) override;
  void ShowStatus(const QString& text) override;
  void ShowMessage(const QString& text) override;
  void RefreshList() override;

 private:
  QWidget* parent_;
  WindowEngine& engine_;
  UserPrompts& prompts_;
  std::function<void(const QString&)> show_status_;
  std::function<void()> refresh_list_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_WIDGET_MOUNT_DIALOGS_H_
