// MounterEngine: the engine wired with this machine's defaults (settings
// in the XDG places, the driver's runtime directory from the settings, the
// volume way this process may take). The window owns one.
#ifndef QUENSARIA_MOUNTER_MOUNTER_ENGINE_H_
#define QUENSARIA_MOUNTER_MOUNTER_ENGINE_H_

#include <memory>

#include "mounter/mount_manager.h"
#include "mounter/mounter_settings.h"
#include "mounter/volumes.h"

namespace quensaria::mounter {

struct MounterEngine {
  std::unique_ptr<MounterSettings> settings;
  std::unique_ptr<Volumes> volumes;
  std::unique_ptr<MountManager> manager;
};

MounterEngine CreateMounterEngine();

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_MOUNTER_ENGINE_H_
