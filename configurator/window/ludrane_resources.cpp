#include "configurator/window/ludrane_resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void RegisterLudraneIcons() { Q_INIT_RESOURCE(ludrane); }

namespace quensaria::configurator {

void LoadLudraneResources() {
  static const bool loaded = (RegisterLudraneIcons(), true);
  (void)loaded;
}

}  // namespace quensaria::configurator
