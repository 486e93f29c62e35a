// ManagerLogic: the window's MounterLogic on the real MountManager and
// MounterSettings. Each call goes straight to one of them; no rule of its
// own.
#ifndef QUENSARIA_MOUNTER_MANAGER_LOGIC_H_
#define QUENSARIA_MOUNTER_MANAGER_LOGIC_H_

#include "mounter/mounter_logic.h"

namespace quensaria::mounter {

// `manager` and `settings` must outlive it; `program_path` goes into the
// log-on entry.
class ManagerLogic final : public MounterLogic {
 public:
  ManagerLogic(MountManager& manager, MounterSettings& settings, QString program_path)
      : manager_(manager), settings_(settings), program_path_(std::move(program_path)) {}

  std::vector<MountedDrive> ListDrives() override { return manager_.ListDrives(); }
  int AddAndMount(UserPrompts& prompts, FlowOrigin origin) override {
    return manager_.AddAndMount(prompts, origin);
  }
  void UnmountSelected(UserPrompts& prompts, const std::vector<char>& letters) override {
    manager_.UnmountSelected(prompts, letters);
  }
  void UnmountFromTray(UserPrompts& prompts, char letter) override {
    manager_.UnmountFromTray(prompts, letter);
  }
  void RemountSelected(UserPrompts& prompts, const std::vector<char>& letters) override {
    manager_.RemountSelected(prompts, letters);
  }
  void MountSavedDrives(UserPrompts& prompts) override {
    // As "-automount" does it: 50 passes 3 s apart, but ending once all are
    // there, and with the password asked for.
    (void)manager_.MountSavedDrives(&prompts, 50, std::chrono::milliseconds(3000));
  }
  SettingsDialogValues OpenSettings() override {
    return OpenSettingsDialog(settings_, program_path_);
  }
  QString AcceptSettings(const SettingsDialogValues& values) override {
    return AcceptSettingsDialog(settings_, program_path_, values);
  }

 private:
  MountManager& manager_;
  MounterSettings& settings_;
  QString program_path_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_MANAGER_LOGIC_H_
