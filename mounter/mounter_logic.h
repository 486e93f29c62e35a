// MounterLogic: what the mounter's window asks of its logic, as one
// interface so that the window's tests and screenshots run it against a
// double (RecordingLogic); the program uses ManagerLogic. The flows run on
// FlowRunner's worker thread, everything else on the GUI thread.
#ifndef QUENSARIA_MOUNTER_MOUNTER_LOGIC_H_
#define QUENSARIA_MOUNTER_MOUNTER_LOGIC_H_

#include <QString>
#include <vector>

#include "mounter/mount_manager.h"
#include "mounter/mounter_settings.h"
#include "mounter/user_prompts.h"

namespace quensaria::mounter {

class MounterLogic {
 public:
  virtual ~MounterLogic() = default;

  // The list's rows (drives D..Z).
  virtual std::vector<MountedDrive> ListDrives() = 0;

  // The flows; they ask and show through `prompts`.
  virtual int AddAndMount(UserPrompts& prompts, FlowOrigin origin) = 0;
  virtual void UnmountSelected(UserPrompts& prompts, const std::vector<char>& letters) = 0;
  virtual void UnmountFromTray(UserPrompts& prompts, char letter) = 0;
  virtual void RemountSelected(UserPrompts& prompts, const std::vector<char>& letters) = 0;
  // The saved drives back, as at log-on ("-a"), asking for passwords.
  virtual void MountSavedDrives(UserPrompts& prompts) = 0;

  // The settings dialog: its values on opening, and OK (empty text, or the
  // message to show while the dialog stays open).
  virtual SettingsDialogValues OpenSettings() = 0;
  virtual QString AcceptSettings(const SettingsDialogValues& values) = 0;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_MOUNTER_LOGIC_H_
