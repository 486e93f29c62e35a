// ScriptedPrompts: answers the window's message boxes and file dialogs from
// a script and records what was shown, for the window's tests.
#ifndef QUENSARIA_MOUNTER_USER_PROMPTS_FOR_TESTING_H_
#define QUENSARIA_MOUNTER_USER_PROMPTS_FOR_TESTING_H_

#include <QStringList>
#include <deque>

#include "mounter/user_prompts.h"

namespace quensaria::mounter {

class ScriptedPrompts final : public UserPrompts {
 public:
  void Inform(QWidget*, const QString& text) override { shown.append(text); }
  bool Ask(QWidget*, const QString& text) override {
    asked.append(text);
    if (answers.empty()) return false;
    const bool yes = answers.front();
    answers.pop_front();
    return yes;
  }
  QString OpenFileName(QWidget*, const QString&, const QString& filter) override {
    filters.append(filter);
    if (file_names.empty()) return {};
    const QString name = file_names.front();
    file_names.pop_front();
    return name;
  }

  void OpenInFileManager(const QString& path) override { opened.append(path); }

  std::deque<bool> answers;        // next answers to Ask; No when empty
  std::deque<QString> file_names;  // next file dialog results; cancel when empty
  QStringList shown;               // texts of the message boxes, in order
  QStringList asked;               // texts of the questions, in order
  QStringList filters;             // filters of the file dialogs, in order
  QStringList opened;              // paths opened in the file manager
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_USER_PROMPTS_FOR_TESTING_H_
