// EngineWindowAdapter: the window's WindowEngine on the real engine. Each
// call goes straight to MountManager or MounterSettings; no rule of its own.
#ifndef QUENSARIA_MOUNTER_ENGINE_WINDOW_ADAPTER_H_
#define QUENSARIA_MOUNTER_ENGINE_WINDOW_ADAPTER_H_

#include "mounter/window_engine.h"

namespace quensaria::mounter {

// The real engine. `manager` and `settings` must outlive the adapter;
// `program_path` goes into the log-on entry.
class EngineWindowAdapter final : public WindowEngine {
 public:
  EngineWindowAdapter(MountManager& manager, MounterSettings& settings, QString program_path)
      : manager_(manager), settings_(settings), program_path_(std::move(program_path)) {}

  std::vector<MountedDrive> ListDrives() override { return manager_.ListDrives(); }
  std::vector<char> FreeDriveLetters() override { return manager_.FreeDriveLetters(); }
  AddDeviceDefaults ReadAddDeviceDefaults() override { return settings_.ReadAddDeviceDefaults(); }
  int AddAndMount(MountDialogs& dialogs, FlowOrigin origin) override {
    return manager_.AddAndMount(dialogs, origin);
  }
  void UnmountSelected(MountDialogs& dialogs, const std::vector<char>& letters) override {
    manager_.UnmountSelected(dialogs, letters);
  }
  void UnmountFromTray(MountDialogs& dialogs, char letter) override {
    manager_.UnmountFromTray(dialogs, letter);
  }
  void RemountSelected(MountDialogs& dialogs, const std::vector<char>& letters) override {
    manager_.RemountSelected(dialogs, letters);
  }
  void MountSavedDrives(MountDialogs& dialogs) override {
    // As "-automount" does it: 50 passes 3 s apart, but ending once all are
    // there, and with the password asked for.
    (void)manager_.MountSavedDrives(&dialogs, 50, std::chrono::milliseconds(3000));
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

#endif  // QUENSARIA_MOUNTER_ENGINE_WINDOW_ADAPTER_H_
