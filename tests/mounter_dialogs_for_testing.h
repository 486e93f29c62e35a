// ScriptedDialogs (tests only): the mount flows' dialogs answered from
// queues, with everything the flows showed kept for the test to check.
#ifndef QUENSARIA_TESTS_MOUNTER_DIALOGS_FOR_TESTING_H_
#define QUENSARIA_TESTS_MOUNTER_DIALOGS_FOR_TESTING_H_

#include <deque>
#include <optional>
#include <vector>

#include "mounter/mount_dialogs.h"

namespace quensaria::mounter {

class ScriptedDialogs : public MountDialogs {
 public:
  // An empty queue answers "cancel".
  std::deque<AddDeviceAnswer> adds;
  std::deque<PasswordAnswer> passwords;
  bool answerYes = true;

  std::vector<QString> questions;
  std::vector<QString> statuses;
  std::vector<QString> messages;
  int passwordPrompts = 0;
  std::vector<PasswordPrompt> prompts;  // why each password dialog opened
  std::vector<QString> resources;       // and for which resource
  std::vector<QString> progress;
  int refreshes = 0;
  bool cancelled = false;

  std::optional<AddDeviceAnswer> AskAddDevice() override {
    if (adds.empty()) return std::nullopt;
    AddDeviceAnswer answer = adds.front();
    adds.pop_front();
    return answer;
  }
  std::optional<PasswordAnswer> AskPassword(PasswordPrompt prompt,
                                            const QString& resource) override {
    ++passwordPrompts;
    prompts.push_back(prompt);
    resources.push_back(resource);
    if (passwords.empty()) return std::nullopt;
    PasswordAnswer answer = passwords.front();
    passwords.pop_front();
    return answer;
  }
  bool AskYesNo(const QString& question) override {
    questions.push_back(question);
    return answerYes;
  }
  void ShowStatus(const QString& text) override { statuses.push_back(text); }
  void ShowMessage(const QString& text) override { messages.push_back(text); }
  void RefreshList() override { ++refreshes; }
  void ShowProgress(const QString& text) override { progress.push_back(text); }
  bool Cancelled() const override { return cancelled; }

  QString LastStatus() const { return statuses.empty() ? QString() : statuses.back(); }
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_TESTS_MOUNTER_DIALOGS_FOR_TESTING_H_
