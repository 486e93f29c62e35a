// ScriptedPrompts: UserPrompts answered by a test. Messages, questions and
// status texts are recorded; questions take their answers from a queue
// (No when it is empty); a modal dialog runs the test's script, which fills
// the real dialog's fields and presses its buttons, and returns the
// dialog's result. A dialog the script leaves open is rejected.
#ifndef QUENSARIA_TESTS_SCRIPTED_PROMPTS_H_
#define QUENSARIA_TESTS_SCRIPTED_PROMPTS_H_

#include <QDialog>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>

#include "configurator/user_prompts.h"

namespace quensaria::testing {

class ScriptedPrompts : public configurator::UserPrompts {
 public:
  using DialogScript = std::function<void(QDialog& dialog)>;

  void Message(const QString& text) override { messages.append(text); }
  bool Question(const QString& text, const QString& caption) override {
    questions.append(caption + ": " + text);
    if (answers.empty()) return false;
    const bool yes = answers.front();
    answers.pop_front();
    return yes;
  }
  QString OpenFileName(const QString& filter) override {
    file_filters.append(filter);
    return chosen_file;
  }
  void StatusText(const QString& text) override { status_texts.append(text); }
  int Exec(QDialog& dialog) override {
    ++dialogs;
    if (script) script(dialog);
    if (dialog.result() != QDialog::Accepted) dialog.reject();
    return dialog.result();
  }
  void WaitCursor(bool on) override { wait_depth += on ? 1 : -1; }
  QWidget* DialogParent() override { return nullptr; }

  QStringList messages;
  QStringList questions;
  QStringList status_texts;
  QStringList file_filters;
  std::deque<bool> answers;
  QString chosen_file;
  DialogScript script;
  int dialogs = 0;
  int wait_depth = 0;
};

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_SCRIPTED_PROMPTS_H_
