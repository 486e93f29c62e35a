// Files the configuration store keeps for the administrator: an unreadable
// Locals.xml, and a Locals.xml as it was read before a save changes it.
// Each is kept under a name that no earlier kept file has: "<stem>.xml"
// while that is free, else "<stem>-<UTC time stamp>.xml", else the same
// with "-2", "-3", ... added. Nothing is ever overwritten.
#ifndef QUENSARIA_SERVICE_STORE_KEPT_FILES_H_
#define QUENSARIA_SERVICE_STORE_KEPT_FILES_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "shared/status.h"

namespace quensaria::store {

// The `attempt`th name tried for `stem` in `directory` at time `now`.
std::string KeptName(const std::string& directory, std::string_view stem, time_t now, int attempt);

// Whether `file_name` (no directory) is one of the kept names of `stem`.
bool IsKeptName(std::string_view file_name, std::string_view stem);

// Moves `path` to a free kept name in `directory` (the same file system);
// the path it now has.
Result<std::string> KeepByMoving(const std::string& path, const std::string& directory,
                                 std::string_view stem, time_t now);

// Writes `data` (flushed to disk) to a free kept name in `directory`, as a
// file of mode `mode`; the path written.
Result<std::string> KeepCopy(std::string_view data, const std::string& directory,
                             std::string_view stem, time_t now, uint32_t mode);

}  // namespace quensaria::store

#endif  // QUENSARIA_SERVICE_STORE_KEPT_FILES_H_
