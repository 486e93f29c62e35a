#include "mounter/auto_mount.h"

#include <QCoreApplication>

#include "mounter/mounter_parts.h"

namespace quensaria::mounter {

int AutoMount(MountManager& manager, const AutoMountOptions& options) {
  return manager.MountSavedDrives(nullptr, options.passes, options.interval);
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
  (void)AutoMount(*parts.manager, options);
  return 0;
}

}  // namespace quensaria::mounter
