#include "configurator/window_prompts.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>

namespace quensaria::configurator {

WindowPrompts::WindowPrompts(QWidget* window, QLabel* status_pane) : window_(window), status_pane_(status_pane) {}

void WindowPrompts::Message(const QString& text) {
  QMessageBox::information(window_, QString::fromLatin1(kProgramCaption), text);
}

bool WindowPrompts::Question(const QString& text, const QString& caption) {
  return QMessageBox::question(window_, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
         QMessageBox::Yes;
}

QString WindowPrompts::OpenFileName(const QString& filter) {
  return QFileDialog::getOpenFileName(window_, QString(), QString(), filter);
}

QString WindowPrompts::SaveFileName(const QString& filter, const QString& default_suffix) {
  QFileDialog dialog(window_, QString(), QString(), filter);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(default_suffix);  // the overwrite question is on by default
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().first();
}

void WindowPrompts::StatusText(const QString& text) {
  if (status_pane_ != nullptr) status_pane_->setText(text);
}

int WindowPrompts::Exec(QDialog& dialog) { return dialog.exec(); }

void WindowPrompts::WaitCursor(bool on) {
  if (on) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

}  // namespace quensaria::configurator
