#include "mounter/auto_mount.h"

#include <QCoreApplication>
#include <QThread>
#include <array>

#include "mounter/mounter_engine.h"

namespace quensaria::mounter {

int AutoMount(MountManager& manager, const MounterSettings& settings,
              const AutoMountOptions& options) {
  std::array<bool, kDriveSlots> done{};
  int mounted = 0;
  for (int pass = 0; pass < options.passes; ++pass) {
    for (int index = 0; index < kDriveSlots; ++index) {
      if (done[index]) continue;
      const std::optional<MountRecord> record = settings.ReadDrive(index);
      if (!record) continue;
      if (manager.MountOnDevice(index, *record, static_cast<char>(record->driveLetter)) == 0) {
        done[index] = true;
        ++mounted;
      }
    }
    QThread::msleep(static_cast<unsigned long>(options.interval.count()));
  }
  return mounted;
}

int RunAutoMount() { return RunAutoMount(AutoMountOptions{}); }

int RunAutoMount(const AutoMountOptions& options) {
  // QtDBus wants an application object; a core one needs no display.
  static int argc = 1;
  static char name[] = "velmoran-mounter";
  static char* argv[] = {name, nullptr};
  std::unique_ptr<QCoreApplication> app;
  if (QCoreApplication::instance() == nullptr) app = std::make_unique<QCoreApplication>(argc, argv);
  MounterEngine engine = CreateMounterEngine();
  (void)AutoMount(*engine.manager, *engine.settings, options);
  return 0;
}

}  // namespace quensaria::mounter
