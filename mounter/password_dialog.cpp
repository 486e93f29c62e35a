#include "mounter/password_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "mounter/window_texts.h"

namespace quensaria::mounter {

PasswordDialog::PasswordDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("passwordDialog");
  setWindowTitle(QString::fromUtf8(texts::kPasswordCaption));
  auto* prompt = new QLabel(QString::fromUtf8(texts::kPasswordPrompt));
  prompt->setWordWrap(true);
  password_ = new QLineEdit(QString::fromUtf8(texts::kPasswordPlaceholder));
  password_->setObjectName("password");
  password_->setEchoMode(QLineEdit::Password);
  password_->selectAll();
  save_ = new QCheckBox(QString::fromUtf8(texts::kSavePassword));
  save_->setObjectName("savePassword");

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setText(QString::fromUtf8(texts::kOk));
  buttons->button(QDialogButtonBox::Cancel)->setText(QString::fromUtf8(texts::kCancel));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* form = new QFormLayout;
  form->addRow(QString::fromUtf8(texts::kPasswordLabel), password_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(prompt);
  layout->addLayout(form);
  layout->addWidget(save_);
  layout->addWidget(buttons);
  setMinimumWidth(360);
}

QString PasswordDialog::password() const { return password_->text(); }
bool PasswordDialog::savePassword() const { return save_->isChecked(); }

}  // namespace quensaria::mounter
