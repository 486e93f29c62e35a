#include "mounter/auto_mount.h"

#include <QCoreApplication>

#include "mounter/mounter_parts.h"

namespace quensaria::mounter {

int AutoMount(MountManager& manager, const AutoMountOptions& options, int* not_mounted) {
  return manager.MountSavedDrives(nullptr, options.passes, options.interval, not_mounted);
}

int RunAutoMount() { return RunAutoMount(AutoMountOptions{}); }

int RunAutoMount(const AutoMountOptions& options) {
  // QtDBus wants an application object; a core one needs no display.
  static int argc = 1;
  static char name[] = "velmoran-mounter";
  static char* argv[] = {name, nullptr};
  std::unique_ptr<QCoreApplication> app;
  if (QCoreApplication::instance() == nullptr) app = std::make_unique<QCoreApplication>(argc, argv);
  MounterParts parts = CreateMounterParts();
  int not_mounted = 0;
  (void)AutoMount(*parts.manager, options, &not_mounted);
  // A session start-up command or a user service learns that a drive did
  // not come back.
  return not_mounted == 0 ? 0 : 1;
}

}  // namespace quensaria::mounter
