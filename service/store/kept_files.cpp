#include "service/store/kept_files.h"

#include <functional>

#include "platform/whole_file.h"
#include "shared/win32_error.h"

namespace quensaria::store {
namespace {

// Enough for any number of starts in one second; a directory that still
// collides is not one the store can keep files in.
constexpr int kMaxAttempts = 1000;

Result<std::string> KeepUnder(const std::string& directory, std::string_view stem, time_t now,
                              const std::function<Status(const std::string&)>& place) {
  Status status = Status::Ok();
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    const std::string name = KeptName(directory, stem, now, attempt);
    status = place(name);
    if (status.ok()) return name;
    if (status.code() != ERROR_FILE_EXISTS) return status;
  }
  return status;
}

}  // namespace

std::string KeptName(const std::string& directory, std::string_view stem, time_t now, int attempt) {
  std::string name = directory + "/" + std::string(stem);
  if (attempt > 0) {
    struct tm utc {};
    gmtime_r(&now, &utc);
    char stamp[32];
    strftime(stamp, sizeof stamp, "-%Y%m%dT%H%M%SZ", &utc);
    name += stamp;
    if (attempt > 1) name += "-" + std::to_string(attempt);
  }
  return name + ".xml";
}

bool IsKeptName(std::string_view file_name, std::string_view stem) {
  if (!file_name.starts_with(stem) || !file_name.ends_with(".xml")) return false;
  const std::string_view rest = file_name.substr(stem.size());
  return rest == ".xml" ||
         (rest.starts_with("-") && rest.size() > std::string_view("-.xml").size());
}

Result<std::string> KeepByMoving(const std::string& path, const std::string& directory,
                                 std::string_view stem, time_t now) {
  return KeepUnder(directory, stem, now, [&](const std::string& name) {
    return platform::MoveFileNoReplace(path, name);
  });
}

Result<std::string> KeepCopy(std::string_view data, const std::string& directory,
                             std::string_view stem, time_t now, uint32_t mode) {
  return KeepUnder(directory, stem, now, [&](const std::string& name) {
    return platform::CreateFileSynced(name, data, mode);
  });
}

}  // namespace quensaria::store
