// SettingsDialog: start at log-on and the temporary folder of write-cache
// files. The dialog holds no rule of its own: OK hands both values to
// `apply`, which stores them and returns a message to show (the dialog then
// stays open) or an empty text. GUI thread.
#ifndef QUENSARIA_MOUNTER_SETTINGS_DIALOG_H_
#define QUENSARIA_MOUNTER_SETTINGS_DIALOG_H_

#include <QDialog>
#include <functional>

class QCheckBox;
class QLineEdit;

namespace quensaria::mounter {

class UserPrompts;

class SettingsDialog : public QDialog {
  Q_OBJECT

 public:
  using Apply = std::function<QString(bool start_at_log_on, const QString& folder)>;

  SettingsDialog(bool start_at_log_on, const QString& folder, Apply apply, UserPrompts& prompts,
                 QWidget* parent = nullptr);

  void accept() override;

 private:
  Apply apply_;
  UserPrompts& prompts_;
  QCheckBox* start_at_log_on_;
  QLineEdit* folder_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_SETTINGS_DIALOG_H_
