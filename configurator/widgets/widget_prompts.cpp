#include "configurator/widgets/widget_prompts.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>

namespace quensaria::configurator {

WidgetPrompts::WidgetPrompts(QWidget* parent, QStatusBar* status_bar)
    : parent_(parent), status_bar_(status_bar) {}

void WidgetPrompts::Message(const QString& text) {
  QMessageBox::information(parent_, kProgramCaption, text, QMessageBox::Ok);
}

bool WidgetPrompts::Question(const QString& text, const QString& caption) {
  return QMessageBox::question(parent_, caption, text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::Yes) == QMessageBox::Yes;
}

QString WidgetPrompts::OpenFileName(const QString& filter) {
  // The server opens the file itself: a path that does not exist yet is
  // refused later, so the dialog does not insist on it here.
  return QFileDialog::getOpenFileName(parent_, QString(), QString(), filter);
}

QString WidgetPrompts::SaveFileName(const QString& filter, const QString& default_suffix) {
  QFileDialog dialog(parent_, QString(), QString(), filter);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(default_suffix);
  // The caller asks before it replaces a file, for typed paths as well.
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().first();
}

void WidgetPrompts::StatusText(const QString& text) {
  if (status_bar_) status_bar_->showMessage(text);
}

int WidgetPrompts::Exec(QDialog& dialog) { return dialog.exec(); }

void WidgetPrompts::WaitCursor(bool on) {
  if (on) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

}  // namespace quensaria::configurator
