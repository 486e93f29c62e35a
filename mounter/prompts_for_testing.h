// A UserPrompts for tests: records every message, question, status text,
// progress text and file-manager path, and answers questions, file dialogs
// and the add-device and password dialogs from scripted values. Questions
// are answered as testing::PromptRecord says; an empty queue of files or
// dialog answers cancels. With `dialogs` set,
// the add-device and password dialogs are asked of it instead (a
// WidgetPrompts, for tests that fill the real dialogs in).
#ifndef QUENSARIA_MOUNTER_PROMPTS_FOR_TESTING_H_
#define QUENSARIA_MOUNTER_PROMPTS_FOR_TESTING_H_

#include <QStringList>
#include <deque>
#include <vector>

#include "mounter/user_prompts.h"
#include "tests/prompt_record_for_testing.h"

namespace quensaria::mounter {

class RecordingPrompts : public testing::PromptRecord<UserPrompts> {
 public:
  explicit RecordingPrompts(bool answer_yes_when_none_queued = true)
      : PromptRecord(answer_yes_when_none_queued) {}

  bool Question(const QString& text) override { return Answer(text); }
  QString OpenFileName(const QString&, const QString& filter) override {
    filters << filter;
    if (file_names.empty()) return {};
    const QString name = file_names.front();
    file_names.pop_front();
    return name;
  }
  std::optional<AddDeviceAnswer> AskAddDevice(const AddDeviceDefaults& defaults,
                                              const std::vector<char>& free_letters) override {
    offered_letters = free_letters;
    if (dialogs != nullptr) return dialogs->AskAddDevice(defaults, free_letters);
    if (adds.empty()) return std::nullopt;
    AddDeviceAnswer answer = adds.front();
    adds.pop_front();
    return answer;
  }
  std::optional<PasswordAnswer> AskPassword(PasswordPrompt prompt,
                                            const QString& resource) override {
    password_reasons.push_back(prompt);
    password_resources << resource;
    if (dialogs != nullptr) return dialogs->AskPassword(prompt, resource);
    if (passwords.empty()) return std::nullopt;
    PasswordAnswer answer = passwords.front();
    passwords.pop_front();
    return answer;
  }
  void OpenInFileManager(const QString& path) override { opened << path; }
  void RefreshList() override { ++refreshes; }
  void ShowProgress(const QString& text) override { progress << text; }
  bool Cancelled() const override { return cancelled; }

  QStringList progress, opened;
  std::deque<QString> file_names;  // the file dialogs' answers
  std::deque<AddDeviceAnswer> adds;
  std::deque<PasswordAnswer> passwords;
  std::vector<PasswordPrompt> password_reasons;  // why each password dialog opened
  QStringList password_resources;                // and for which resource
  std::vector<char> offered_letters;             // by the last add-device dialog
  int refreshes = 0;
  bool cancelled = false;
  UserPrompts* dialogs = nullptr;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_PROMPTS_FOR_TESTING_H_
