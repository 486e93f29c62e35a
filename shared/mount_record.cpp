#include "shared/mount_record.h"

namespace quensaria {
namespace {
constexpr std::string_view kNtPrefix = "\\??\\";
}

std::string NtPathFromLinux(std::string_view path) {
  std::string nt(kNtPrefix);
  nt.append(path);
  return nt;
}

std::string LinuxPathFromNt(std::string_view nt_path) {
  if (nt_path.starts_with(kNtPrefix)) nt_path.remove_prefix(kNtPrefix.size());
  return std::string(nt_path);
}

}  // namespace quensaria
