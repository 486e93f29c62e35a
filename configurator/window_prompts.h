// WindowPrompts: the configurator's UserPrompts on real widgets: message
// boxes captioned "Quensaria Server", file dialogs, the main window's status
// bar pane and wait cursor. GUI thread only.
#ifndef QUENSARIA_CONFIGURATOR_WINDOW_PROMPTS_H_
#define QUENSARIA_CONFIGURATOR_WINDOW_PROMPTS_H_

#include <QPointer>

#include "configurator/user_prompts.h"

class QLabel;

namespace quensaria::configurator {

inline constexpr char kProgramCaption[] = "Quensaria Server";

class WindowPrompts : public UserPrompts {
 public:
  // `window` parents the dialogs; `status_pane` shows StatusText. Either may
  // be null or go away first.
  WindowPrompts(QWidget* window, QLabel* status_pane);

  void Message(const QString& text) override;
  bool Question(const QString& text, const QString& caption) override;
  QString OpenFileName(const QString& filter) override;
  QString SaveFileName(const QString& filter, const QString& default_suffix) override;
  void StatusText(const QString& text) override;
  int Exec(QDialog& dialog) override;
  void WaitCursor(bool on) override;
  QWidget* DialogParent() override { return window_; }

 private:
  QPointer<QWidget> window_;
  QPointer<QLabel> status_pane_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WINDOW_PROMPTS_H_
