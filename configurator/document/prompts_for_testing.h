// A UserPrompts for widget tests: records every message, question and
// status text, answers questions and file dialogs from scripted values, and
// runs modal dialogs through a hook instead of an event loop. Questions are
// answered as testing::PromptRecord says.
#ifndef QUENSARIA_CONFIGURATOR_DOCUMENT_PROMPTS_FOR_TESTING_H_
#define QUENSARIA_CONFIGURATOR_DOCUMENT_PROMPTS_FOR_TESTING_H_

#include <QDialog>
#include <QStringList>
#include <functional>

#include "configurator/document/user_prompts.h"
#include "tests/prompt_record_for_testing.h"
#include "tests/qt_print_for_testing.h"

namespace quensaria::configurator {

class RecordingPrompts : public testing::PromptRecord<UserPrompts> {
 public:
  explicit RecordingPrompts(bool answer_yes_when_none_queued = true)
      : PromptRecord(answer_yes_when_none_queued) {}

  bool Question(const QString& text, const QString& caption) override {
    return Answer(caption + ": " + text);
  }
  QString OpenFileName(const QString& filter) override {
    filters << filter;
    return next_file;
  }
  QString SaveFileName(const QString& filter, const QString& default_suffix) override {
    filters << filter;
    suffixes << default_suffix;
    return next_file;
  }
  int Exec(QDialog& dialog) override {
    executed << dialog.objectName();
    if (on_exec) return on_exec(dialog);
    if (!script) return QDialog::Rejected;
    script(dialog);
    if (dialog.result() != QDialog::Accepted) dialog.reject();
    return dialog.result();
  }
  void WaitCursor(bool on) override { wait_depth += on ? 1 : -1; }
  QWidget* DialogParent() override { return nullptr; }

  QStringList suffixes, executed;
  QString next_file;  // the file dialogs' answer
  int wait_depth = 0;
  // Fills in and closes a dialog; its result is what Exec returns.
  std::function<int(QDialog&)> on_exec;
  // Without on_exec: fills the real dialog's fields and presses its buttons;
  // a dialog it leaves open is rejected.
  std::function<void(QDialog&)> script;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_DOCUMENT_PROMPTS_FOR_TESTING_H_
