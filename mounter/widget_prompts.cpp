#include "mounter/widget_prompts.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

#include "mounter/add_device_dialog.h"
#include "mounter/password_dialog.h"
#include "mounter/single_instance.h"
#include "mounter/window_texts.h"

namespace quensaria::mounter {

WidgetPrompts::WidgetPrompts(QWidget* parent, StatusLine* status_line)
    : parent_(parent), status_line_(status_line) {}

QWidget* WidgetPrompts::DialogParent() const {
  // A field's complaint belongs over the dialog that has the field.
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  return parent_;
}

void WidgetPrompts::Message(const QString& text) {
  QMessageBox::information(DialogParent(), QString::fromUtf8(kMounterTitle), text);
}

bool WidgetPrompts::Question(const QString& text) {
  return QMessageBox::question(DialogParent(), QString::fromUtf8(texts::kQuestionCaption), text,
                               QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

QString WidgetPrompts::OpenFileName(const QString& caption, const QString& filter) {
  return QFileDialog::getOpenFileName(DialogParent(), caption, QString(), filter);
}

void WidgetPrompts::StatusText(const QString& text) {
  if (status_line_) status_line_->SetMessage(text);
}

std::optional<AddDeviceAnswer> WidgetPrompts::AskAddDevice(const AddDeviceDefaults& defaults,
                                                           const std::vector<char>& free_letters) {
  AddDeviceDialog dialog(defaults, free_letters, *this, DialogParent());
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.answer();
}

std::optional<PasswordAnswer> WidgetPrompts::AskPassword(PasswordPrompt prompt,
                                                         const QString& resource) {
  PasswordDialog dialog(prompt, resource, DialogParent());
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return PasswordAnswer{dialog.password(), dialog.savePassword()};
}

void WidgetPrompts::OpenInFileManager(const QString& path) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

}  // namespace quensaria::mounter
