// SourceWatch: notices when the file or block device an export serves is
// truncated, grown, deleted, moved or replaced under it. The export keeps
// serving what it opened, whatever happens to the path: clients must never
// be switched to another file unasked. The watch only tells, once per
// change, so that the administrator hears of it.
//
// Check() compares the open descriptor (its size, its names) and the path
// (which file it names now) with what they were at the last check. Any
// thread; checks are serialised. The descriptor is not owned and must stay
// open while the watch is used.
#ifndef QUENSARIA_SERVICE_SOURCE_SOURCE_WATCH_H_
#define QUENSARIA_SERVICE_SOURCE_SOURCE_WATCH_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/source_file.h"

namespace quensaria::source {

struct SourceChange {
  enum Kind {
    kTruncated,  // shorter than before: reads past its new end fail
    kGrown,      // longer than before: clients see the old size until a restart
    kDeleted,    // its path is gone and the file has no other name: it lives
                 // only while the export holds it open
    kMoved,      // its path is gone, but the file still has a name elsewhere
    kReplaced,   // its path names another file now
  };
  Kind kind;
  uint64_t size = 0;  // the source's size now (kTruncated, kGrown)
  // kReplaced: the file served has no name left (what clients write to it
  // is lost once the export stops).
  bool unnamed = false;
};

class SourceWatch {
 public:
  // Watches `path` as open in `fd`, which serves `size` bytes now.
  SourceWatch(std::string path, int fd, uint64_t size);

  // The changes since the last check, each reported once. A path that is
  // gone and comes back naming the file served again is no change.
  std::vector<SourceChange> Check();

  const std::string& path() const { return path_; }

 private:
  enum class PathState { kSame, kGone, kOther };

  const std::string path_;
  const int fd_;
  std::mutex mu_;
  uint64_t size_;                            // guarded by mu_
  platform::FileIdentity opened_;            // guarded by mu_
  PathState path_state_ = PathState::kSame;  // guarded by mu_
  platform::FileIdentity other_;             // what the path named when last replaced
  bool unnamed_reported_ = false;            // a change saying the file has no name went out
};

}  // namespace quensaria::source

#endif  // QUENSARIA_SERVICE_SOURCE_SOURCE_WATCH_H_
