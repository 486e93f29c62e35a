// MountManager: the mounter's engine. It talks to the Velmoran driver through
// drive-letter links and device controls, attaches the drive's volume, and
// runs the flows the window starts (add and mount, unmount, remount), with
// their dialogs behind MountDialogs. It keeps no mount state: the driver's
// query is the truth about what is mounted. Results are Win32 error codes;
// the flows add -1 (no free device) and -2 (cancelled). One thread (the GUI
// thread, or the automatic mount's); the settings and volumes must outlive it.
#ifndef QUENSARIA_MOUNTER_MOUNT_MANAGER_H_
#define QUENSARIA_MOUNTER_MOUNT_MANAGER_H_

#include <QString>
#include <chrono>
#include <cstdint>
#include <vector>

#include "mounter/mount_dialogs.h"
#include "mounter/mounter_settings.h"
#include "mounter/volumes.h"
#include "shared/mount_record.h"

namespace quensaria::mounter {

inline constexpr int kNoFreeDevice = -1;
inline constexpr int kCancelled = -2;
inline constexpr int kDeviceIndices = 8;

// One row of the list of mounted drives, with the texts its columns show.
struct MountedDrive {
  char letter = 0;
  MountRecord query{};  // the driver's query output
  QString device;       // "X:"
  QString location;     // "10.0.0.5 : 60000", or the image file's path
  QString capacity;     // "1.50G"
  QString access;       // "VirtualWrite" or "Full"
  QString mountPoint;   // where the drive's file system is mounted; empty if none
};

// "%0.2fT/G/M/K" of a size in bytes; below 1024 "0.00K".
QString CapacityText(uint64_t bytes);

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
  MountManager(MounterSettings& settings, Volumes& volumes, DriveLinks links);

  // Mounts `record` on device index n as drive `letter`: defines the letter,
  // sends the mount, attaches the volume. 0, or a Win32 error with nothing
  // left behind (170: the letter is in use; 86: password refused; 1056: the
  // device holds a mount).
  uint32_t MountOnDevice(int index, const MountRecord& record, char letter);
  // Detaches the volume (170 while in use: the drive stays mounted), sends
  // the unmount and removes the letter's definition.
  uint32_t UnmountDrive(char letter);
  // The driver's query output for drive `letter`.
  uint32_t QueryDrive(char letter, MountRecord* output);

  // The flows. AddAndMount returns 0, kNoFreeDevice, kCancelled or a Win32
  // error, and shows its result where `origin` says.
  int AddAndMount(MountDialogs& dialogs, FlowOrigin origin);
  // Rows given by their letters, in list order.
  void UnmountSelected(MountDialogs& dialogs, const std::vector<char>& letters);
  // The tray's unmount of one drive (message boxes).
  void UnmountFromTray(MountDialogs& dialogs, char letter);
  void RemountSelected(MountDialogs& dialogs, const std::vector<char>& letters);

  // Mounted drives D..Z, as the list shows them.
  std::vector<MountedDrive> ListDrives();
  // Letters D..Z that cannot be opened: those the add-device dialog offers.
  std::vector<char> FreeDriveLetters();

  // Builds the record of an add-device answer (cache path in the temporary
  // folder for a network disk).
  MountRecord BuildRecord(const AddDeviceAnswer& answer) const;

  // Writes "%s %s %d" (label, error text, number) of the last error to
  // standard error.
  void LogLastError(const QString& label);
  uint32_t lastError() const { return last_error_; }

  // The pause between unmount and mount in a remount (1000 ms).
  void SetRemountPause(std::chrono::milliseconds pause) { remount_pause_ = pause; }

  // The text a result is shown with, for a flow started at `origin`; empty
  // for kCancelled.
  QString MountResultText(int result, FlowOrigin origin) const;

  const DriveLinks& links() const { return links_; }

 private:
  uint32_t MountWithPrompts(int index, MountRecord& record, MountDialogs* dialogs);
  QString ErrorText(uint32_t code) const;
  uint32_t Fail(uint32_t code, const QString& label);

  MounterSettings& settings_;
  Volumes& volumes_;
  DriveLinks links_;
  uint32_t last_error_ = 0;
  QString last_explanation_;  // a sentence that replaces the error text
  std::chrono::milliseconds remount_pause_{1000};
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_MOUNT_MANAGER_H_
