// WidgetPrompts: UserPrompts shown with real widgets (QMessageBox,
// QFileDialog, AddDeviceDialog, PasswordDialog, the window's StatusLine,
// QDesktopServices). Boxes and dialogs open over the modal dialog in front,
// else over the parent window the main window gives. GUI thread only.
#ifndef QUENSARIA_MOUNTER_WIDGET_PROMPTS_H_
#define QUENSARIA_MOUNTER_WIDGET_PROMPTS_H_

#include <QPointer>
#include <QWidget>

#include "mounter/status_line.h"
#include "mounter/user_prompts.h"

namespace quensaria::mounter {

class WidgetPrompts final : public UserPrompts {
 public:
  // Either may be null (before the window exists).
  explicit WidgetPrompts(QWidget* parent = nullptr, StatusLine* status_line = nullptr);

  void SetStatusLine(StatusLine* status_line) { status_line_ = status_line; }

  void Message(const QString& text) override;
  bool Question(const QString& text) override;
  QString OpenFileName(const QString& caption, const QString& filter) override;
  void StatusText(const QString& text) override;
  std::optional<AddDeviceAnswer> AskAddDevice(const AddDeviceDefaults& defaults,
                                              const std::vector<char>& free_letters) override;
  std::optional<PasswordAnswer> AskPassword(PasswordPrompt prompt,
                                            const QString& resource) override;
  void OpenInFileManager(const QString& path) override;

 private:
  QWidget* DialogParent() const;

  QPointer<QWidget> parent_;
  QPointer<StatusLine> status_line_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_WIDGET_PROMPTS_H_
