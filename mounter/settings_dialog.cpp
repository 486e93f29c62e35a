#include "mounter/settings_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "mounter/user_prompts.h"
#include "mounter/window_texts.h"

namespace quensaria::mounter {

SettingsDialog::SettingsDialog(bool start_at_log_on, const QString& folder, Apply apply,
                               UserPrompts& prompts, QWidget* parent)
    : QDialog(parent), apply_(std::move(apply)), prompts_(prompts) {
  setObjectName("settingsDialog");
  setWindowTitle(QString::fromUtf8(texts::kSettingsCaption));
  start_at_log_on_ = new QCheckBox(QString::fromUtf8(texts::kStartAtLogOn));
  start_at_log_on_->setObjectName("startAtLogOn");
  start_at_log_on_->setChecked(start_at_log_on);
  folder_ = new QLineEdit(folder);
  folder_->setObjectName("tempFolder");
  auto* clear = new QPushButton(QString::fromUtf8(texts::kBrowse));
  clear->setObjectName("clearFolder");
  clear->setMaximumWidth(clear->fontMetrics().horizontalAdvance("....") + 24);
  auto* note = new QLabel(QString::fromUtf8(texts::kTempFolderNote));
  note->setWordWrap(true);
  // Kept for the settings file's sake; nothing reads it.
  auto* unused = new QCheckBox(QString::fromUtf8(texts::kUnusedVirtualWrite));
  unused->setObjectName("virtualWriteUnused");
  unused->setVisible(false);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setText(QString::fromUtf8(texts::kOk));
  buttons->button(QDialogButtonBox::Cancel)->setText(QString::fromUtf8(texts::kCancel));
  connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  // The "..." button empties the field, as it always has.
  connect(clear, &QPushButton::clicked, folder_, &QLineEdit::clear);

  auto* folder_row = new QHBoxLayout;
  folder_row->addWidget(new QLabel(QString::fromUtf8(texts::kTempFolder)));
  folder_row->addWidget(folder_, 1);
  folder_row->addWidget(clear);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(start_at_log_on_);
  layout->addLayout(folder_row);
  layout->addWidget(note);
  layout->addWidget(unused);
  layout->addWidget(buttons);
  setMinimumWidth(440);
}

void SettingsDialog::accept() {
  const QString refused = apply_(start_at_log_on_->isChecked(), folder_->text());
  if (!refused.isEmpty()) {
    prompts_.Message(refused);
    return;
  }
  QDialog::accept();
}

}  // namespace quensaria::mounter
