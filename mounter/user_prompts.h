// UserPrompts: the one seam between the mounter's logic and the user. Every
// message box, question, file dialog, the add-device and password dialogs,
// the status bar's text and the file manager the mounter opens go through
// it, so tests answer them without a person. The window's WidgetPrompts
// shows real ones on the GUI thread; a flow on FlowRunner's worker thread
// is given one that carries each call to the window's and waits for its
// answer. Tests use RecordingPrompts (prompts_for_testing.h). Each object is
// called from one thread only.
#ifndef QUENSARIA_MOUNTER_USER_PROMPTS_H_
#define QUENSARIA_MOUNTER_USER_PROMPTS_H_

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "mounter/mounter_settings.h"
#include "shared/block_protocol.h"
#include "shared/mount_record.h"

namespace quensaria::mounter {

// The add-device dialog's answers on OK.
struct AddDeviceAnswer {
  uint32_t type = 0;             // 0 network disk, 1 disk image (2 CD image, hidden)
  uint32_t ipAddress = 0;        // network disk: first octet in the most significant byte
  uint32_t port = kDefaultPort;  // network disk: host order
  QString fileName;              // disk image: the file's path (at most 260 characters)
  char driveLetter = 0;          // 'D'..'Z'
  // Network disk: the other servers of the same disk (at most two), in the
  // order the user gave them; the driver goes on with one of them when the
  // first is lost.
  std::vector<MountServer> moreServers;
  // Network disk: the export speaks TLS (the record's kMountFlagTls).
  bool tls = false;
};

// The password dialog's answers on OK.
struct PasswordAnswer {
  QString password;
  bool save = false;  // the save-password box
};

// Why the password dialog opens, which it says.
enum class PasswordPrompt {
  kNeeded,        // the resource refused the empty password: it has one
  kSavedRefused,  // the saved password was not accepted
  kRefused,       // the password just typed was not accepted
};

class UserPrompts {
 public:
  virtual ~UserPrompts() = default;

  // A message box with an OK button, captioned with the mounter's title.
  virtual void Message(const QString& text) = 0;
  // A Yes/No box captioned "Question", No preselected; true for Yes.
  virtual bool Question(const QString& text) = 0;
  // An open-file dialog; `filter` in Qt's form. Empty when cancelled.
  virtual QString OpenFileName(const QString& caption, const QString& filter) = 0;
  // Replaces the status bar's text.
  virtual void StatusText(const QString& text) = 0;
  // The add-device dialog, opening with `defaults` (the last answers) and
  // offering `free_letters`; nothing when cancelled.
  virtual std::optional<AddDeviceAnswer> AskAddDevice(const AddDeviceDefaults& defaults,
                                                      const std::vector<char>& free_letters) = 0;
  // The password dialog for `resource` ("10.0.0.5 : 60000"); nothing when
  // cancelled.
  virtual std::optional<PasswordAnswer> AskPassword(PasswordPrompt prompt,
                                                    const QString& resource) = 0;
  // Opens `path` (a drive's mount point) in the user's file manager.
  virtual void OpenInFileManager(const QString& path) = 0;
  // For the flows, whose prompts FlowRunner gives: the list of mounted
  // drives changed; what the flow waits for now ("Mounting R: (10.0.0.5 :
  // 60000)..."), before a step that may take long; whether the user gave up
  // waiting for the flow (it asks nothing more, undoes a mount that
  // succeeds after all, and ends).
  virtual void RefreshList() {}
  virtual void ShowProgress(const QString& text) { (void)text; }
  virtual bool Cancelled() const { return false; }
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_USER_PROMPTS_H_
