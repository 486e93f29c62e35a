// UserPrompts: the one seam between the configurator's logic and the user.
// Every message box, question, file dialog, status-bar message and modal
// dialog of the configurator goes through it, so tests answer them. The
// widgets implementation (WidgetPrompts) shows real boxes; tests implement
// it themselves. GUI thread only.
#ifndef QUENSARIA_CONFIGURATOR_DOCUMENT_USER_PROMPTS_H_
#define QUENSARIA_CONFIGURATOR_DOCUMENT_USER_PROMPTS_H_

#include <QString>

class QDialog;
class QWidget;

namespace quensaria::configurator {

class UserPrompts {
 public:
  virtual ~UserPrompts() = default;

  // A message box with an OK button (caption: the program's name).
  virtual void Message(const QString& text) = 0;
  // A question with Yes and No and a question icon; true for Yes.
  virtual bool Question(const QString& text, const QString& caption) = 0;
  // An open-file dialog; empty when cancelled. `filter` in Qt's form.
  virtual QString OpenFileName(const QString& filter) = 0;
  // Replaces the text of the status bar's first pane.
  virtual void StatusText(const QString& text) = 0;
  // Runs a modal dialog; QDialog::Accepted or Rejected.
  virtual int Exec(QDialog& dialog) = 0;
  // The wait cursor on (true) and off (false); nests.
  virtual void WaitCursor(bool on) = 0;
  // The parent for dialogs; may be null.
  virtual QWidget* DialogParent() = 0;
  // A save-file dialog that appends `default_suffix` to a name without one;
  // empty when cancelled. It does not ask about an existing file: the
  // caller does, whether the path was browsed or typed.
  virtual QString SaveFileName(const QString& filter, const QString& default_suffix) {
    (void)filter;
    (void)default_suffix;
    return {};
  }
};

// Shows the wait cursor for one scope.
class WaitCursorScope {
 public:
  explicit WaitCursorScope(UserPrompts& prompts) : prompts_(prompts) { prompts_.WaitCursor(true); }
  ~WaitCursorScope() { prompts_.WaitCursor(false); }
  WaitCursorScope(const WaitCursorScope&) = delete;
  WaitCursorScope& operator=(const WaitCursorScope&) = delete;

 private:
  UserPrompts& prompts_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_DOCUMENT_USER_PROMPTS_H_
