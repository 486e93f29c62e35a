#include "mounter/mounter_parts.h"

namespace quensaria::mounter {

MounterParts CreateMounterParts() {
  MounterParts parts;
  parts.settings = std::make_unique<MounterSettings>();
  parts.volumes = CreateVolumes();
  DriveLinks links;
  links.runtimeDir = parts.settings->DriverRuntimeDir();
  parts.manager = std::make_unique<MountManager>(*parts.settings, *parts.volumes, links);
  return parts;
}

}  // namespace quensaria::mounter
