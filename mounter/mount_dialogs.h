// MountDialogs: what the mount flows ask of the user and show to the user.
// The window implements it with real dialogs, reached from the flow's worker
// thread through FlowRunner; tests answer it in code. All calls come from
// the thread that runs the flow.
#ifndef QUENSARIA_MOUNTER_MOUNT_DIALOGS_H_
#define QUENSARIA_MOUNTER_MOUNT_DIALOGS_H_

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "shared/block_protocol.h"
#include "shared/mount_record.h"

namespace quensaria::mounter {

// The add-device dialog's answers on OK (the dialog offers the defaults of
// MounterSettings::ReadAddDeviceDefaults and the letters of
// MountManager::FreeDriveLetters).
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

// Where a flow was started, and so where its results go.
enum class FlowOrigin {
  kToolbar,  // status bar texts
  kTray,     // message boxes
};

class MountDialogs {
 public:
  virtual ~MountDialogs() = default;

  // The add-device dialog; nothing when cancelled.
  virtual std::optional<AddDeviceAnswer> AskAddDevice() = 0;
  // The password dialog for `resource` ("10.0.0.5 : 60000"); nothing when
  // cancelled.
  virtual std::optional<PasswordAnswer> AskPassword(PasswordPrompt prompt,
                                                    const QString& resource) = 0;
  // A Yes/No question with the caption "Question", No preselected.
  virtual bool AskYesNo(const QString& question) = 0;
  // A text for the status bar.
  virtual void ShowStatus(const QString& text) = 0;
  // A message box.
  virtual void ShowMessage(const QString& text) = 0;
  // The list of mounted drives changed.
  virtual void RefreshList() = 0;
  // What the flow waits for now ("Mounting R: (10.0.0.5 : 60000)..."),
  // before a step that may take long.
  virtual void ShowProgress(const QString& text) { (void)text; }
  // Whether the user gave up waiting for the flow: it asks nothing more,
  // undoes a mount that succeeds after all, and ends.
  virtual bool Cancelled() const { return false; }
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_MOUNT_DIALOGS_H_
