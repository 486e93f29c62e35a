// The Source text of an export of a Ceph RBD image, as the service opens it
// and the configurator and ludrane-cli check it: "rbd:POOL/IMAGE" (the
// image, writable), "rbd:POOL/IMAGE@SNAPSHOT" (a snapshot, read-only), and
// either with a trailing ":ro" (read-only: many services may serve the same
// image at once, where only one may serve it writable).
#ifndef QUENSARIA_SHARED_RBD_SOURCE_H_
#define QUENSARIA_SHARED_RBD_SOURCE_H_

#include <string>
#include <string_view>

#include "shared/status.h"

namespace quensaria {

inline constexpr std::string_view kRbdPrefix = "rbd:";
inline constexpr char kRbdSourceForm[] = "rbd:POOL/IMAGE[@SNAPSHOT][:ro]";

struct RbdName {
  std::string pool;
  std::string image;
  std::string snapshot;  // empty: the image itself
  bool read_only = false;
};

// Whether `source` names an RBD image: it begins with "rbd:".
bool IsRbdSource(std::string_view source);
// Splits an RBD source into its parts; ERROR_INVALID_NAME, with a message
// that shows the form, for one that is not of it.
Result<RbdName> ParseRbdSource(std::string_view source);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_RBD_SOURCE_H_
