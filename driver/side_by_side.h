// RunSideBySide: runs tasks at the same time, each on a thread of its own
// (the last on the caller's), and returns once all have ended. One that no
// thread can be had for runs on the caller's thread too, after the others
// were started. The driver's
// stop removes its block devices so: each removal may wait for a silent
// server, and one after the other they would add up.
#ifndef QUENSARIA_DRIVER_SIDE_BY_SIDE_H_
#define QUENSARIA_DRIVER_SIDE_BY_SIDE_H_

#include <functional>
#include <vector>

namespace quensaria::driver {

// REQUIRES: no task throws.
void RunSideBySide(const std::vector<std::function<void()>>& tasks);

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_SIDE_BY_SIDE_H_
