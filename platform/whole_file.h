// Whole-file reads and durable replacement, for small state files such as
// the service's configuration. A replacement is written to a side file,
// flushed to disk, renamed over the target and the directory flushed, so a
// crash or power loss at any moment leaves either the old or the new content
// whole. Thread-compatible: callers serialise access to one file.
#ifndef QUENSARIA_PLATFORM_WHOLE_FILE_H_
#define QUENSARIA_PLATFORM_WHOLE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "shared/status.h"

namespace quensaria::platform {

// The whole content of `path`. Fails with ERROR_FILE_NOT_FOUND when it does
// not exist and ERROR_FILE_TOO_LARGE when it holds more than `max_bytes`.
// Every buffer it lets go of is wiped first (the file may hold secrets),
// those of a read that fails too.
Result<std::string> ReadWholeFile(const std::string& path, size_t max_bytes);

// Clears the whole buffer of `text` (explicit_bzero), not only the bytes in
// use, and empties it.
void WipeText(std::string& text);

// Creates or truncates `path`, writes `data` and flushes it to disk (fsync).
// The file gets the permission bits `mode` whatever the umask, also when it
// existed with others. On failure the file may hold part of `data`. A link
// at `path` is not followed: the write fails.
Status WriteFileSynced(const std::string& path, std::string_view data, uint32_t mode = 0644);

// Renames `from` over `to` (both in one directory) and flushes the directory,
// so the rename itself survives a crash.
Status ReplaceFileSynced(const std::string& from, const std::string& to);

// Renames `from` to `to` (both in one directory) only if `to` does not
// exist (ERROR_FILE_EXISTS otherwise, nothing moved), and flushes the
// directory.
Status MoveFileNoReplace(const std::string& from, const std::string& to);

// Creates `path` only if it does not exist (ERROR_FILE_EXISTS otherwise),
// with the permission bits `mode` whatever the umask, writes `data` and
// flushes the file and its directory. A failed write removes the part
// written.
Status CreateFileSynced(const std::string& path, std::string_view data, uint32_t mode = 0644);

// Takes from the file `path` (links followed) every permission bit outside
// `allowed`, never adding one; gives its permission bits from before.
Result<uint32_t> NarrowFileMode(const std::string& path, uint32_t allowed);

// The file `path` stands for once symbolic links in its last component are
// followed (link texts without a leading '/' count from the link's
// directory): `path` itself when it is no link or does not exist, the path
// a dangling link names. Fails after 40 links (a loop).
Result<std::string> FollowLinks(const std::string& path);

// Removes `path`; a missing file is success.
Status RemoveFile(const std::string& path);

bool FileExists(const std::string& path);

// The directory part of `path` ("." when it has none).
std::string DirectoryOf(const std::string& path);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_WHOLE_FILE_H_
