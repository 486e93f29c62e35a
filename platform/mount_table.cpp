#include "platform/mount_table.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace quensaria::platform {
namespace {

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

}  // namespace

std::string UnescapeMountField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) &&
        IsOctal(field[i + 2]) && IsOctal(field[i + 3])) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

std::vector<MountEntry> ParseMountTable(std::string_view text) {
  std::vector<MountEntry> entries;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string id, parent, options, field;
    MountEntry entry;
    if (!(fields >> id >> parent >> entry.device_numbers >> entry.root >> entry.mount_point >>
          options)) {
      continue;
    }
    bool separated = false;
    while (fields >> field) {
      if (field == "-") {
        separated = true;
        break;
      }
    }
    if (!separated || !(fields >> entry.type)) continue;
    fields >> entry.source;  // may be missing for some file systems
    entry.root = UnescapeMountField(entry.root);
    entry.mount_point = UnescapeMountField(entry.mount_point);
    entry.source = UnescapeMountField(entry.source);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<MountEntry> ReadMountTable() {
  std::ifstream in("/proc/self/mountinfo");
  if (!in) return {};
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return ParseMountTable(text);
}

}  // namespace quensaria::platform
