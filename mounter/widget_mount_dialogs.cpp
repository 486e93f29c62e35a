#include "mounter/widget_mount_dialogs.h"

#include "mounter/add_device_dialog.h"
#include "mounter/password_dialog.h"
#include "mounter/user_prompts.h"
#include "mounter/window_engine.h"

namespace quensaria::mounter {

WidgetMountDialogs::WidgetMountDialogs(QWidget* parent, WindowEngine& engine, UserPrompts& prompts,
                                       std::function<void(const QString&)> show_status,
                                       std::function<void()> refresh_list)
    : parent_(parent),
      engine_(engine),
      prompts_(prompts),
      show_status_(std::move(show_status)),
      refresh_list_(std::move(refresh_list)) {}

std::optional<AddDeviceAnswer> WidgetMountDialogs::AskAddDevice() {
  AddDeviceDialog dialog(engine_.ReadAddDeviceDefaults(), engine_.FreeDriveLetters(), prompts_,
                         parent_);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.answer();
}

std::optional<PasswordAnswer> WidgetMountDialogs::AskPassword(PasswordPrompt prompt,
                                                              const QString& resource) {
  PasswordDialog dialog(prompt, resource, parent_);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return PasswordAnswer{dialog.password(), dialog.savePassword()};
}

bool WidgetMountDialogs::AskYesNo(const QString& question) {
  return prompts_.Ask(parent_, question);
}

void WidgetMountDialogs::ShowStatus(const QString& text) { show_status_(text); }

void WidgetMountDialogs::ShowMessage(const QString& text) { prompts_.Inform(parent_, text); }

void WidgetMountDialogs::RefreshList() { refresh_list_(); }

}  // namespace quensaria::mounter
