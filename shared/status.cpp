#include "shared/status.h"

namespace quensaria {

std::string Status::ToString() const {
  if (ok()) return "OK";
  std::string text = message_.empty() ? std::string("error") : message_;
  return text + " (code " + std::to_string(code_) + ")";
}

}  // namespace quensaria
