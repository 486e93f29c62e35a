// RecordingLogic: the mounter's logic as the window's tests and screenshots
// see it. Drives are a list the test fills; the flows ask their prompts as
// the real ones do, record what they were asked, and show the result text the
// test chose where the origin says (status bar or message box). The flows
// run on the window's worker thread: a test reads what they recorded once
// the window is no longer busy, and may hold a mount "in the driver" with
// HoldMounts() until Release().
#ifndef QUENSARIA_MOUNTER_MOUNTER_LOGIC_FOR_TESTING_H_
#define QUENSARIA_MOUNTER_MOUNTER_LOGIC_FOR_TESTING_H_

#include <arpa/inet.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "mounter/mounter_logic.h"
#include "shared/utf16.h"

namespace quensaria::mounter {

// A row as MountManager would make it.
inline MountedDrive FakeNetworkDrive(char letter, const char* address, uint16_t port,
                                     const char* capacity, bool virtual_write) {
  MountedDrive drive;
  drive.letter = letter;
  drive.query.sourceType = kSourceTypeNetwork;
  drive.query.driveLetter = static_cast<uint8_t>(letter);
  drive.query.serverAddress = inet_addr(address);
  drive.query.serverPort = htons(port);
  drive.query.virtualWrite = virtual_write ? 1 : 0;
  drive.device = QStringLiteral("%1:").arg(QChar::fromLatin1(letter));
  drive.source = QStringLiteral("%1 : %2").arg(QLatin1String(address)).arg(port);
  drive.capacity = QLatin1String(capacity);
  drive.access = virtual_write ? QStringLiteral("VirtualWrite") : QStringLiteral("Full");
  drive.mountPoint = QStringLiteral("/media/velmoran/%1").arg(QChar::fromLatin1(letter));
  drive.location = drive.mountPoint;
  return drive;
}

inline MountedDrive FakeImageDrive(char letter, const char* path, const char* capacity) {
  MountedDrive drive;
  drive.letter = letter;
  drive.query.sourceType = kSourceTypeDiskImage;
  drive.query.driveLetter = static_cast<uint8_t>(letter);
  StoreUtf16Field(NtPathFromLinux(path), drive.query.sourceName, kMountPathUnits);
  drive.device = QStringLiteral("%1:").arg(QChar::fromLatin1(letter));
  drive.source = QString::fromUtf8(path);
  drive.capacity = QLatin1String(capacity);
  drive.access = QStringLiteral("Full");
  drive.mountPoint = QStringLiteral("/media/velmoran/%1").arg(QChar::fromLatin1(letter));
  drive.location = drive.mountPoint;
  return drive;
}

class RecordingLogic final : public MounterLogic {
 public:
  std::vector<MountedDrive> ListDrives() override {
    ++list_calls;
    return drives;
  }

  int AddAndMount(UserPrompts& prompts, FlowOrigin origin) override {
    origins.push_back(origin);
    const std::optional<AddDeviceAnswer> answer = prompts.AskAddDevice(defaults, free_letters);
    if (!answer) return kCancelled;
    answers.push_back(*answer);
    if (ask_password && !prompts.AskPassword(PasswordPrompt::kNeeded, QStringLiteral("x : 1"))) {
      return 86;
    }
    prompts.ShowProgress(QStringLiteral("Mounting..."));
    {
      // The driver's mount, for as long as the test holds it.
      std::unique_lock lock(hold_mutex_);
      holding_ = hold_;
      hold_changed_.notify_all();
      hold_changed_.wait(lock, [this] { return !hold_; });
      holding_ = false;
    }
    if (prompts.Cancelled()) {
      cancelled_mounts.fetch_add(1);
      return kCancelled;
    }
    if (mount_result == 0) {
      drives.push_back(FakeNetworkDrive(answer->driveLetter, "127.0.0.1",
                                        static_cast<uint16_t>(answer->port), "1.00M", false));
      prompts.RefreshList();
    }
    Show(prompts, origin);
    return mount_result;
  }
  void UnmountSelected(UserPrompts& prompts, const std::vector<char>& letters) override {
    unmounted.push_back(letters);
    if (!prompts.Question(QStringLiteral("Do you want to unmount these devices?"))) return;
    Show(prompts, FlowOrigin::kToolbar);
    prompts.RefreshList();
  }
  void UnmountFromTray(UserPrompts& prompts, char letter) override {
    unmounted.push_back({letter});
    Show(prompts, FlowOrigin::kTray);
  }
  void RemountSelected(UserPrompts& prompts, const std::vector<char>& letters) override {
    remounted.push_back(letters);
    Show(prompts, FlowOrigin::kToolbar);
  }
  void MountSavedDrives(UserPrompts& prompts) override {
    saved_drive_runs.fetch_add(1);
    prompts.RefreshList();
  }

  // Holds the next mounts in the "driver" until Release; HeldNow tells
  // whether one waits there.
  void HoldMounts() {
    std::scoped_lock lock(hold_mutex_);
    hold_ = true;
  }
  void Release() {
    std::scoped_lock lock(hold_mutex_);
    hold_ = false;
    hold_changed_.notify_all();
  }
  bool HeldNow() {
    std::scoped_lock lock(hold_mutex_);
    return holding_;
  }
  SettingsDialogValues OpenSettings() override { return settings; }
  QString AcceptSettings(const SettingsDialogValues& values) override {
    accepted_settings.push_back(values);
    return settings_refusal;
  }

  // What the test sets.
  std::vector<MountedDrive> drives;
  std::vector<char> free_letters{'E', 'F', 'G'};
  AddDeviceDefaults defaults;
  int mount_result = 0;
  bool ask_password = false;
  QString result_text = QStringLiteral("a result");
  SettingsDialogValues settings{false, QStringLiteral("/home/user/.cache/velmoran/")};
  QString settings_refusal;

  // What the window asked.
  int list_calls = 0;
  std::vector<FlowOrigin> origins;
  std::vector<AddDeviceAnswer> answers;
  std::vector<std::vector<char>> unmounted;
  std::vector<std::vector<char>> remounted;
  std::vector<SettingsDialogValues> accepted_settings;
  std::atomic<int> cancelled_mounts{0};
  std::atomic<int> saved_drive_runs{0};

 private:
  std::mutex hold_mutex_;
  std::condition_variable hold_changed_;
  bool hold_ = false;
  bool holding_ = false;

  void Show(UserPrompts& prompts, FlowOrigin origin) const {
    if (origin == FlowOrigin::kToolbar) {
      prompts.StatusText(result_text);
    } else {
      prompts.Message(result_text);
    }
  }
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_MOUNTER_LOGIC_FOR_TESTING_H_
