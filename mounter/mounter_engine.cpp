#include "mounter/mounter_engine.h"

namespace quensaria::mounter {

MounterEngine CreateMounterEngine() {
  MounterEngine engine;
  engine.settings = std::make_unique<MounterSettings>();
  engine.volumes = CreateVolumes();
  DriveLinks links;
  links.runtimeDir = engine.settings->DriverRuntimeDir();
  engine.manager = std::make_unique<MountManager>(*engine.settings, *engine.volumes, links);
  return engine;
}

}  // namespace quensaria::mounter
