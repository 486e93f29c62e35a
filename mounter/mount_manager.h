// MountManager: the mounter's mount logic. It talks to the Velmoran driver
// through drive-letter links and device controls, attaches the drive's
// volume, and runs the flows the window starts (add and mount, unmount,
// remount, the saved drives), asking and telling the user through
// UserPrompts. It keeps no mount state: the driver's query is the truth
// about what is mounted, and a link counts for its letter only while its
// device is mounted for that letter. Its steps return a Status with a Win32
// code whose message, when it has one, is the cause found on this machine
// (rights, the driver, UDisks2, the image file), said for the user; only
// the flows return the window's codes (0, a Win32 code, kNoFreeDevice,
// kCancelled). Flows may run on several threads at once; the settings,
// volumes and device controls must outlive it.
#ifndef QUENSARIA_MOUNTER_MOUNT_MANAGER_H_
#define QUENSARIA_MOUNTER_MOUNT_MANAGER_H_

#include <QString>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "mounter/device_controls.h"
#include "mounter/mounter_settings.h"
#include "mounter/user_prompts.h"
#include "mounter/volumes.h"
#include "shared/mount_record.h"
#include "shared/status.h"

namespace quensaria::mounter {

inline constexpr int kNoFreeDevice = -1;
inline constexpr int kCancelled = -2;
inline constexpr int kDeviceIndices = 8;
// The longest image path a mount takes, in UTF-16 units.
inline constexpr int kMaxImagePathLength = 260;

// Where a flow was started, and so where its results go.
enum class FlowOrigin {
  kToolbar,  // status bar texts
  kTray,     // message boxes
};

// One row of the list of mounted drives, with the texts its columns show.
struct MountedDrive {
  char letter = 0;
  MountRecord query{};    // the driver's query output
  QString device;         // "X:"
  QString location;       // where the drive is: its file system's mount point,
                          // else its block device, else its loop device,
                          // else empty
  QString source;         // "10.0.0.5 : 60000", or the image file's path
  QString capacity;       // "1.50G"
  QString access;         // "VirtualWrite" or "Full"
  QString mountPoint;     // where the drive's file system is mounted; empty if none
  QString deviceFile;     // the driver's device file that holds the drive
  bool connected = true;  // a network disk's connection to its server is up
};

// The Source column's text: the server or the image, and "(disconnected)"
// for a network disk whose connection is down.
QString SourceText(const MountedDrive& drive);

// "%0.2fT/G/M/K" of a size in bytes; below 1024 "0.00K".
QString CapacityText(uint64_t bytes);

// The text a mount's outcome is shown with, for a flow started at `origin`:
// success, no free device (1056 from every device), or the error, said as a
// cause on this machine when `mount` names one.
QString MountResultText(const Status& mount, FlowOrigin origin);

// Where the drive-letter links live.
struct DriveLinks {
  QString runtimeDir;      // the driver's, default /run/velmoran
  QString definitionsDir;  // the mounter's own links; default <runtimeDir>/DosDevices

  // Device file of device index n: ".../Device/VelmoranEx/VelmoranEx%d", or
  // VelmoranExCd%d for source type 2.
  QString DevicePath(int index, uint32_t source_type) const;
  QString DefinitionPath(char letter) const;  // <definitionsDir>/X:
  QString GlobalLinkPath(char letter) const;  // <runtimeDir>/DosDevices/Global/X:
};

class MountManager {
 public:
  // `devices`: the driver's, unless a test answers them.
  MountManager(MounterSettings& settings, Volumes& volumes, DriveLinks links,
               DeviceControls& devices = DriverDeviceControls());

  // Mounts `record` on device index n as drive `letter`: defines the letter,
  // sends the mount, attaches the volume. Ok, or a Win32 error with nothing
  // left behind (170: the letter is in use; 86: password refused; 1056: the
  // device holds a mount).
  Status MountOnDevice(int index, const MountRecord& record, char letter);
  // Detaches the volume (170 while in use: the drive stays mounted), sends
  // the unmount and removes the letter's definition.
  Status UnmountDrive(char letter);
  // The driver's query output for drive `letter`.
  Result<MountRecord> QueryDrive(char letter);

  // The flows. AddAndMount returns 0, kNoFreeDevice, kCancelled or a Win32
  // error, and shows its result where `origin` says.
  int AddAndMount(UserPrompts& prompts, FlowOrigin origin);
  // Rows given by their letters, in list order.
  void UnmountSelected(UserPrompts& prompts, const std::vector<char>& letters);
  // The tray's unmount of one drive (message boxes).
  void UnmountFromTray(UserPrompts& prompts, char letter);
  void RemountSelected(UserPrompts& prompts, const std::vector<char>& letters);

  // Mounts the saved drives ("Drive0".."Drive7") that are not mounted yet:
  // `passes` passes `interval` apart, each saved drive on its own index
  // first; a network drive whose cache folder is gone gets its cache in the
  // temporary folder. With `prompts` a refused password is asked for (once
  // per drive), progress is shown and the passes end early when everything
  // is mounted or the user cancels, and the status bar then names the drives
  // mounted and those not, with why; without, it is the silent "-automount". Returns how
  // many drives it mounted; `not_mounted`, if given, gets how many saved
  // drives are not mounted when it ends.
  int MountSavedDrives(UserPrompts* prompts, int passes, std::chrono::milliseconds interval,
                       int* not_mounted = nullptr);

  // Mounted drives D..Z, as the list shows them. Links left behind (their
  // device no longer mounted for their letter) are no rows, and the
  // mounter's own are removed where this user may.
  std::vector<MountedDrive> ListDrives();
  // Letters D..Z that no mounted drive has: those the add-device dialog
  // offers.
  std::vector<char> FreeDriveLetters();

  // Builds the record of an add-device answer (cache path in the temporary
  // folder for a network disk; a relative image path taken from this
  // program's folder, as the driver runs elsewhere).
  MountRecord BuildRecord(const AddDeviceAnswer& answer) const;

  // The pause between unmount and mount in a remount (1000 ms).
  void SetRemountPause(std::chrono::milliseconds pause) { remount_pause_ = pause; }

  const DriveLinks& links() const { return links_; }

  // The saved slot a mount of `record` (made on device `index`) is kept in:
  // the slot of the same drive (its letter or its source), else a free one;
  // when all eight hold other drives the user is asked whether to replace
  // slot `index`'s, and nothing means "do not save".
  std::optional<int> ChooseSavedSlot(const MountRecord& record, int index, UserPrompts& prompts);

 private:
  struct OpenedDrive;
  // The drive that has letter `letter` now: through the mounter's own link
  // or the driver's, and only when the device behind is mounted for that
  // letter. Removes the mounter's own link when it is stale.
  Result<OpenedDrive> OpenMounted(char letter, bool write);
  // Digest for the next attempt: the saved password, else the record's own,
  // else the empty password's. Returns whether it came from what was saved.
  bool FillDigest(MountRecord& record) const;
  // Mounts, asking `prompts` (if any) for the password up to three times
  // while it is refused.
  Status MountWithPrompts(int index, MountRecord& record, UserPrompts* prompts);
  // Mounts on `first` and on the other indices while they answer 1056; the
  // index used.
  Result<int> MountOnAnyDevice(int first, MountRecord& record, UserPrompts* prompts);
  // The record as it is saved: with the digest only when the user saved it.
  MountRecord SavedCopy(const MountRecord& record) const;
  // Writes "%s %s %d" (label, error text, number) to standard error and
  // returns the status, with `cause` as its message.
  static Status Fail(uint32_t code, const QString& label, const QString& cause = QString());

  MounterSettings& settings_;
  Volumes& volumes_;
  DeviceControls& devices_;
  DriveLinks links_;
  std::chrono::milliseconds remount_pause_{1000};
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_MOUNT_MANAGER_H_
