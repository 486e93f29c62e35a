// WidgetPrompts: UserPrompts shown with real widgets (QMessageBox,
// QFileDialog, the status bar's first pane, QApplication's override
// cursor). The status bar and parent window are given by the main window.
#ifndef QUENSARIA_CONFIGURATOR_WIDGETS_WIDGET_PROMPTS_H_
#define QUENSARIA_CONFIGURATOR_WIDGETS_WIDGET_PROMPTS_H_

#include <QPointer>
#include <QStatusBar>
#include <QWidget>

#include "configurator/document/user_prompts.h"

namespace quensaria::configurator {

// The caption of message boxes.
inline constexpr char kProgramCaption[] = "Ludrane";

class WidgetPrompts : public UserPrompts {
 public:
  // Either may be null (before the window exists).
  explicit WidgetPrompts(QWidget* parent = nullptr, QStatusBar* status_bar = nullptr);

  void SetParent(QWidget* parent) { parent_ = parent; }
  void SetStatusBar(QStatusBar* status_bar) { status_bar_ = status_bar; }

  void Message(const QString& text) override;
  bool Question(const QString& text, const QString& caption) override;
  QString OpenFileName(const QString& filter) override;
  QString SaveFileName(const QString& filter, const QString& default_suffix) override;
  void StatusText(const QString& text) override;
  int Exec(QDialog& dialog) override;
  void WaitCursor(bool on) override;
  QWidget* DialogParent() override { return parent_; }

 private:
  QPointer<QWidget> parent_;
  QPointer<QStatusBar> status_bar_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WIDGETS_WIDGET_PROMPTS_H_
