// AddDeviceDialog: what the user adds as a drive. A network disk (server
// address and port, other servers, whether the export speaks TLS) or a disk image (a file), and the
// drive letter, picked from the letters the caller found free. The dialog checks its fields only;
// MountManager builds the mount record from the answers and saves them as the next defaults. GUI
// thread; `prompts` must outlive the dialog.
#ifndef QUENSARIA_MOUNTER_ADD_DEVICE_DIALOG_H_
#define QUENSARIA_MOUNTER_ADD_DEVICE_DIALOG_H_

#include <QDialog>
#include <vector>

#include "mounter/mounter_settings.h"
#include "mounter/user_prompts.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace quensaria::mounter {

class UserPrompts;

class AddDeviceDialog : public QDialog {
  Q_OBJECT

 public:
  // Opens with `defaults` (last answers) and `free_letters` listed as "X:",
  // the first selected.
  AddDeviceDialog(const AddDeviceDefaults& defaults, const std::vector<char>& free_letters,
                  UserPrompts& prompts, QWidget* parent = nullptr);

  // The answers; meaningful after the dialog was accepted.
  const AddDeviceAnswer& answer() const { return answer_; }

  void accept() override;

 private:
  void SelectSourceType(int type);
  void OnPortEdited(const QString& text);
  void OnBrowse();
  void SetPath(const QString& path);
  int CheckedType() const;

  UserPrompts& prompts_;
  AddDeviceAnswer answer_;
  QButtonGroup* types_;
  QRadioButton* cd_image_;
  QLabel* address_label_;
  QLineEdit* address_;
  QLabel* port_label_;
  QLineEdit* port_;
  QLabel* more_label_;
  QLineEdit* more_;
  QCheckBox* tls_;
  QLabel* path_label_;
  QLineEdit* path_;
  QPushButton* browse_;
  QComboBox* letters_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_ADD_DEVICE_DIALOG_H_
