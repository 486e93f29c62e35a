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

namespace {

const char* PromptText(PasswordPrompt prompt) {
  switch (prompt) {
    case PasswordPrompt::kSavedRefused:
      return texts::kSavedPasswordRefused;
    case PasswordPrompt::kRefused:
      return texts::kPasswordRefused;
    case PasswordPrompt::kNeeded:
      break;
  }
  return texts::kPasswordPrompt;
}

}  // namespace

PasswordDialog::PasswordDialog(PasswordPrompt prompt_kind, const QString& resource, QWidget* parent)
    : QDialog(parent) {
  setObjectName("passwordDialog");
  setWindowTitle(QString::fromUtf8(texts::kPasswordCaption));
  auto* prompt = new QLabel(QString::fromUtf8(PromptText(prompt_kind)));
  prompt->setObjectName("passwordPrompt");
  prompt->setWordWrap(true);
  if (prompt_kind != PasswordPrompt::kNeeded) {
    prompt->setStyleSheet("color: #a03000;");  // as a refusal, not a first question
  }
  auto* where = new QLabel(resource);
  where->setObjectName("passwordResource");
  // Empty: a text the user did not type must never become a password.
  password_ = new QLineEdit;
  password_->setObjectName("password");
  password_->setEchoMode(QLineEdit::Password);
  save_ = new QCheckBox(QString::fromUtf8(texts::kSavePassword));
  save_->setObjectName("savePassword");

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setText(QString::fromUtf8(texts::kOk));
  buttons->button(QDialogButtonBox::Cancel)->setText(QString::fromUtf8(texts::kCancel));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* form = new QFormLayout;
  form->addRow(QString::fromUtf8(texts::kPasswordResource), where);
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
