#include "mounter/command_line.h"

#include <cstring>

namespace quensaria::mounter {

StartMode ParseCommandLine(int argc, const char* const* argv) {
  if (argc != 2 || argv == nullptr || argv[1] == nullptr) return StartMode::kNormal;
  if (std::strcmp(argv[1], "-a") == 0) return StartMode::kHidden;
  if (std::strcmp(argv[1], "-automount") == 0) return StartMode::kAutoMount;
  if (std::strcmp(argv[1], "--help") == 0) return StartMode::kHelp;
  return StartMode::kNormal;
}

}  // namespace quensaria::mounter
