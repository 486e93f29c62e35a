// UserPrompts: every message box and file dialog of the mounter's window,
// and the file manager it opens, go through this one seam, so that tests answer them without a
// person. Called on the GUI thread only.
#ifndef QUENSARIA_MOUNTER_USER_PROMPTS_H_
#define QUENSARIA_MOUNTER_USER_PROMPTS_H_

#include <QString>
#include <memory>

class QWidget;

namespace quensaria::mounter {

class UserPrompts {
 public:
  virtual ~UserPrompts() = default;
  // A message box with an OK button, captioned with the window's title.
  virtual void Inform(QWidget* parent, const QString& text) = 0;
  // A Yes/No box captioned "Question", No preselected; true for Yes.
  virtual bool Ask(QWidget* parent, const QString& text) = 0;
  // An open-file dialog; `filter` in Qt's form. Empty when cancelled.
  virtual QString OpenFileName(QWidget* parent, const QString& caption, const QString& filter) = 0;
  // Opens `path` (a drive's mount point) in the user's file manager.
  virtual void OpenInFileManager(const QString& path) = 0;
};

// The real boxes and dialogs (QMessageBox, QFileDialog, QDesktopServices).
std::unique_ptr<UserPrompts> MakeWidgetPrompts();

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_USER_PROMPTS_H_
