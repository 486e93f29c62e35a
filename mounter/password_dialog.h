// PasswordDialog: asks for the password of a network resource that refused
// the saved one, and whether to save it for that resource. GUI thread.
#ifndef QUENSARIA_MOUNTER_PASSWORD_DIALOG_H_
#define QUENSARIA_MOUNTER_PASSWORD_DIALOG_H_

#include <QDialog>

class QCheckBox;
class QLineEdit;

namespace quensaria::mounter {

class PasswordDialog : public QDialog {
  Q_OBJECT

 public:
  explicit PasswordDialog(QWidget* parent = nullptr);

  // The text as typed (the field starts with a placeholder, selected so
  // that typing replaces it) and the save box (clear at first).
  QString password() const;
  bool savePassword() const;

 private:
  QLineEdit* password_;
  QCheckBox* save_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_PASSWORD_DIALOG_H_
