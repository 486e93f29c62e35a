// The automatic mount of the saved drives ("-automount"): passes over the
// saved "Drive%d" records, mounting each with its own letter (on its own
// index first) until it succeeds once; silent, no prompts, no widgets.
#ifndef QUENSARIA_MOUNTER_AUTO_MOUNT_H_
#define QUENSARIA_MOUNTER_AUTO_MOUNT_H_

#include <chrono>

#include "mounter/mount_manager.h"

namespace quensaria::mounter {

struct AutoMountOptions {
  int passes = 50;
  std::chrono::milliseconds interval{3000};  // after each pass
};

// Runs every pass (the last wait included) and returns how many drives were
// mounted; `not_mounted`, if given, gets how many saved drives are not.
int AutoMount(MountManager& manager, const AutoMountOptions& options = {},
              int* not_mounted = nullptr);

// What main() runs for "-automount": MounterParts with this machine's
// defaults, AutoMount, exit code 0 when every saved drive is mounted at the
// end, else 1. Needs no QApplication and no display (a QCoreApplication may
// exist or not).
int RunAutoMount();
// The same with other passes (tests).
int RunAutoMount(const AutoMountOptions& options);

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_AUTO_MOUNT_H_
