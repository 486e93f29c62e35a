#include "service/source/source_watch.h"

#include <utility>

namespace quensaria::source {

SourceWatch::SourceWatch(std::string path, int fd, uint64_t size)
    : path_(std::move(path)), fd_(fd), size_(size) {
  Result<platform::FileIdentity> opened = platform::IdentityOf(fd_);
  if (opened.ok()) opened_ = *opened;
}

std::vector<SourceChange> SourceWatch::Check() {
  std::vector<SourceChange> changes;
  std::scoped_lock lock(mu_);
  // What cannot be learnt now is no change: the next check tries again.
  Result<uint64_t> size = platform::SizeOf(fd_);
  if (size.ok() && *size != size_) {
    changes.push_back({*size < size_ ? SourceChange::kTruncated : SourceChange::kGrown, *size});
    size_ = *size;
  }
  Result<platform::FileIdentity> held = platform::IdentityOf(fd_);
  Result<platform::FileIdentity> at_path = platform::IdentityAt(path_);
  if (!held.ok() || !at_path.ok()) return changes;
  if (at_path->SameFileAs(opened_)) {
    path_state_ = PathState::kSame;
    unnamed_reported_ = false;
  } else if (!at_path->exists) {
    // A file moved away may lose its last name later.
    const bool unnamed = held->links == 0;
    if (path_state_ != PathState::kGone || (unnamed && !unnamed_reported_)) {
      changes.push_back({unnamed ? SourceChange::kDeleted : SourceChange::kMoved});
      unnamed_reported_ = unnamed;
    }
    path_state_ = PathState::kGone;
  } else if (path_state_ != PathState::kOther || !at_path->SameFileAs(other_)) {
    changes.push_back({SourceChange::kReplaced, 0, held->links == 0});
    unnamed_reported_ = held->links == 0;
    path_state_ = PathState::kOther;
    other_ = *at_path;
  }
  return changes;
}

}  // namespace quensaria::source
