// A UserPrompts for widget tests: records every message, question and
// status text, answers questions and file dialogs from scripted values, and
// runs modal dialogs through a hook instead of an event loop.
#ifndef QUENSARIA_CONFIGURATOR_PROMPTS_FOR_TESTING_H_
#define QUENSARIA_CONFIGURATOR_PROMPTS_FOR_TESTING_H_

#include <QDialog>
#include <QStringList>
#include <functional>
#include <ostream>

#include "configurator/user_prompts.h"

namespace quensaria::configurator {

class RecordingPrompts : public UserPrompts {
 public:
  void Message(const QString& text) override { messages << text; }
  bool Question(const QString& text, const QString& caption) override {
    questions << caption + ": " + text;
    return answer_yes;
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
  void StatusText(const QString& text) override { status = text; }
  int Exec(QDialog& dialog) override {
    executed << dialog.objectName();
    return on_exec ? on_exec(dialog) : QDialog::Rejected;
  }
  void WaitCursor(bool on) override { wait_depth += on ? 1 : -1; }
  QWidget* DialogParent() override { return nullptr; }

  QStringList messages, questions, filters, suffixes, executed;
  QString status, next_file;
  bool answer_yes = true;
  int wait_depth = 0;
  // Fills in and closes a dialog; its result is what Exec returns.
  std::function<int(QDialog&)> on_exec;
};

}  // namespace quensaria::configurator

// GoogleTest prints Qt strings readably.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QStringList& list, std::ostream* out) {
  *out << '{' << list.join(QStringLiteral("|")).toStdString() << '}';
}

#endif  // QUENSARIA_CONFIGURATOR_PROMPTS_FOR_TESTING_H_
