#include "configurator/widgets/options_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QVBoxLayout>

#include "configurator/document/configurator_defaults.h"
#include "configurator/rules/configurator_rules.h"

namespace quensaria::configurator {

OptionsDialog::OptionsDialog(ConfiguratorDefaults& defaults, QWidget* parent)
    : QDialog(parent), defaults_(defaults) {
  setWindowTitle("选项");
  auto_add_ = new QCheckBox("自动添加“任何IP”为可信任客户端");
  auto_add_->setChecked(defaults_.AutoAddClient());
  login_ = new QLineEdit(QString::fromLatin1(kPlaceholderPassword));
  manage_ = new QLineEdit(QString::fromLatin1(kPlaceholderPassword));
  for (QLineEdit* edit : {login_, manage_}) {
    edit->setEchoMode(QLineEdit::Password);
    // Wide enough to show the whole placeholder, not its last few dots.
    edit->setMinimumWidth(edit->fontMetrics().height() * 15);
    edit->installEventFilter(this);
  }
  connect(login_, &QLineEdit::textEdited, this, [this] { login_edited_ = true; });
  connect(manage_, &QLineEdit::textEdited, this, [this] { manage_edited_ = true; });
  auto* form = new QFormLayout;
  form->addRow("默认登录密码[&L]:", login_);
  form->addRow("默认管理密码[&M]:", manage_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &OptionsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &OptionsDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(auto_add_);
  layout->addLayout(form);
  auto* note = new QLabel(QString::fromUtf8(kUntouchedPasswordNote));
  note->setObjectName("passwordNote");
  layout->addWidget(note);
  layout->addWidget(buttons);
}

bool OptionsDialog::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusIn) {
    if (auto* edit = qobject_cast<QLineEdit*>(watched)) {
      // After the focus change has placed the cursor.
      QTimer::singleShot(0, edit, &QLineEdit::selectAll);
    }
  }
  return QDialog::eventFilter(watched, event);
}

void OptionsDialog::accept() {
  saved_ = defaults_.SetAutoAddClient(auto_add_->isChecked());
  if (login_edited_) {
    saved_ = defaults_.SetLoginPassword(
                 ChooseLoginDigest(true, login_->text().toStdString(), std::nullopt)) &&
             saved_;
  }
  if (manage_edited_) {
    saved_ = defaults_.SetManagePassword(
                 ChooseManageDigest(true, manage_->text().toStdString(), std::nullopt)) &&
             saved_;
  }
  QDialog::accept();
}

}  // namespace quensaria::configurator
