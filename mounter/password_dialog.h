// PasswordDialog: asks for the password of a network resource that refused
// the empty or the saved one, and whether to save it for that resource. It
// says why it asks: the resource needs a password, the saved one or the
// one just typed was not accepted. The field starts empty. GUI thread.
#ifndef QUENSARIA_MOUNTER_PASSWORD_DIALOG_H_
#define QUENSARIA_MOUNTER_PASSWORD_DIALOG_H_

#include <QDialog>

#include "mounter/user_prompts.h"

class QCheckBox;
class QLineEdit;

namespace quensaria::mounter {

class PasswordDialog : public QDialog {
  Q_OBJECT

 public:
  PasswordDialog(PasswordPrompt prompt, const QString& resource, QWidget* parent = nullptr);

  // The text as typed and the save box (clear at first).
  QString password() const;
  bool savePassword() const;

 private:
  QLineEdit* password_;
  QCheckBox* save_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_PASSWORD_DIALOG_H_
