// What the prompt doubles of both desktop programs (RecordingPrompts of the
// mounter and of the configurator) have in common, over either program's
// UserPrompts: the record of messages, questions, file filters and status
// texts, and the scripted answers to yes/no questions. Questions take their
// answers from `answers` while it has some, then `answer_yes`.
#ifndef QUENSARIA_TESTS_PROMPT_RECORD_FOR_TESTING_H_
#define QUENSARIA_TESTS_PROMPT_RECORD_FOR_TESTING_H_

#include <QString>
#include <QStringList>
#include <deque>

namespace quensaria::testing {

template <typename Prompts>
class PromptRecord : public Prompts {
 public:
  void Message(const QString& text) override { messages << text; }
  void StatusText(const QString& text) override {
    status = text;
    status_texts << text;
  }

  QStringList messages, questions, filters, status_texts;
  QString status;  // the last status text
  std::deque<bool> answers;
  bool answer_yes = true;

 protected:
  explicit PromptRecord(bool answer_yes_when_none_queued)
      : answer_yes(answer_yes_when_none_queued) {}

  // Records `question` as it was put and gives the next answer.
  bool Answer(const QString& question) {
    questions << question;
    if (answers.empty()) return answer_yes;
    const bool yes = answers.front();
    answers.pop_front();
    return yes;
  }
};

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_PROMPT_RECORD_FOR_TESTING_H_
