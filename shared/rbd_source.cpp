#include "shared/rbd_source.h"

#include "shared/win32_error.h"

namespace quensaria {

bool IsRbdSource(std::string_view source) { return source.starts_with(kRbdPrefix); }

Result<RbdName> ParseRbdSource(std::string_view source) {
  const Status invalid(ERROR_INVALID_NAME,
                       std::string("an RBD source is written ") + kRbdSourceForm);
  if (!IsRbdSource(source)) return invalid;
  std::string_view rest = source.substr(kRbdPrefix.size());
  RbdName name;
  if (rest.ends_with(":ro")) {
    name.read_only = true;
    rest.remove_suffix(3);
  }
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos || slash == 0) return invalid;
  name.pool = rest.substr(0, slash);
  std::string_view image = rest.substr(slash + 1);
  const size_t at = image.find('@');
  if (at != std::string_view::npos) {
    name.snapshot = image.substr(at + 1);
    image = image.substr(0, at);
    if (name.snapshot.empty()) return invalid;
    name.read_only = true;  // a snapshot cannot be written
  }
  if (image.empty() || image.find('/') != std::string_view::npos) return invalid;
  name.image = image;
  return name;
}

}  // namespace quensaria
