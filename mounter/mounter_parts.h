// MounterParts: the mounter's logic wired with this machine's defaults
// (settings in the XDG places, the driver's runtime directory from the
// settings, the volume way this process may take). The window's program and
// "-automount" own one each.
#ifndef QUENSARIA_MOUNTER_MOUNTER_PARTS_H_
#define QUENSARIA_MOUNTER_MOUNTER_PARTS_H_

#include <memory>

#include "mounter/mount_manager.h"
#include "mounter/mounter_settings.h"
#include "mounter/volumes.h"

namespace quensaria::mounter {

struct MounterParts {
  std::unique_ptr<MounterSettings> settings;
  std::unique_ptr<Volumes> volumes;
  std::unique_ptr<MountManager> manager;
};

MounterParts CreateMounterParts();

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_MOUNTER_PARTS_H_
