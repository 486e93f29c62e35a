#include "driver/drive_links.h"

#include <filesystem>
#include <system_error>

namespace quensaria::driver {

namespace fs = std::filesystem;

std::string DriveLinkName(char letter) {
  if (letter < 'A' || letter > 'Z') return {};
  return std::string(1, letter) + ":";
}

bool CreateDriveLink(const std::string& links_dir, char letter, const std::string& target) {
  const std::string name = DriveLinkName(letter);
  if (name.empty()) return false;
  std::error_code error;
  fs::create_symlink(target, fs::path(links_dir) / name, error);
  return !error;
}

void DeleteDriveLink(const std::string& links_dir, char letter, const std::string& target) {
  const std::string name = DriveLinkName(letter);
  if (name.empty()) return;
  const fs::path link = fs::path(links_dir) / name;
  std::error_code error;
  if (fs::read_symlink(link, error) == fs::path(target) && !error) fs::remove(link, error);
}

int ClearDriveLinks(const std::string& links_dir, const std::string& device_dir) {
  std::error_code error;
  int removed = 0;
  const std::string prefix = (fs::path(device_dir) / "").string();
  for (const auto& entry : fs::directory_iterator(links_dir, error)) {
    std::error_code link_error;
    const fs::path target = fs::read_symlink(entry.path(), link_error);
    if (link_error || !target.string().starts_with(prefix)) continue;
    if (fs::remove(entry.path(), link_error)) ++removed;
  }
  return removed;
}

}  // namespace quensaria::driver
