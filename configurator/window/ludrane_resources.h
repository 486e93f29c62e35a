// ludrane's icons (ludrane.qrc) live in a static library, so their
// resource data must be registered once before the first QIcon reads them.
#ifndef QUENSARIA_CONFIGURATOR_WINDOW_LUDRANE_RESOURCES_H_
#define QUENSARIA_CONFIGURATOR_WINDOW_LUDRANE_RESOURCES_H_

namespace quensaria::configurator {

// Registers the icons; any number of calls.
void LoadLudraneResources();

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WINDOW_LUDRANE_RESOURCES_H_
