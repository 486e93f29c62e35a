// WindowEngine: what the mounter's window asks of the engine, as one
// interface so that the window's tests and screenshots run it against a
// double (the program uses EngineWindowAdapter). The flows run on
// FlowRunner's worker thread, everything else on the GUI thread.
#ifndef QUENSARIA_MOUNTER_WINDOW_ENGINE_H_
#define QUENSARIA_MOUNTER_WINDOW_ENGINE_H_

#include <QString>
#include <vector>

#include "mounter/mount_dialogs.h"
#include "mounter/mount_manager.h"
#include "mounter/mounter_settings.h"

namespace quensaria::mounter {

class WindowEngine {
 public:
  virtual ~WindowEngine() = default;

  // The list's rows (drives D..Z), and the letters a new drive may take.
  virtual std::vector<MountedDrive> ListDrives() = 0;
  virtual std::vector<char> FreeDriveLetters() = 0;
  virtual AddDeviceDefaults ReadAddDeviceDefaults() = 0;

  // The flows; they show their results through `dialogs`.
  virtual int AddAndMount(MountDialogs& dialogs, FlowOrigin origin) = 0;
  virtual void UnmountSelected(MountDialogs& dialogs, const std::vector<char>& letters) = 0;
  virtual void UnmountFromTray(MountDialogs& dialogs, char letter) = 0;
  virtual void RemountSelected(MountDialogs& dialogs, const std::vector<char>& letters) = 0;
  // The saved drives back, as at log-on ("-a"), asking for passwords.
  virtual void MountSavedDrives(MountDialogs& dialogs) = 0;

  // The settings dialog: its values on opening, and OK (empty text, or the
  // message to show while the dialog stays open).
  virtual SettingsDialogValues OpenSettings() = 0;
  virtual QString AcceptSettings(const SettingsDialogValues& values) = 0;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_WINDOW_ENGINE_H_
