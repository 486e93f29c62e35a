#include "platform/system_info.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace quensaria::platform {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int ProcessorCount() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

bool ParseBootIdentity(std::string_view text, std::array<uint8_t, 4>& identity) {
  if (text.size() < 2 * identity.size()) return false;
  std::array<uint8_t, 4> bytes;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexDigit(text[2 * i]);
    const int low = HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  identity = bytes;
  return true;
}

std::array<uint8_t, 4> BootIdentity() {
  std::array<uint8_t, 4> identity{};
  UniqueFd fd(::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC));
  if (!fd) return identity;
  char text[64];
  const ssize_t n = ::read(fd.get(), text, sizeof text);
  if (n <= 0 || !ParseBootIdentity(std::string_view(text, static_cast<size_t>(n)), identity)) {
    return {};
  }
  return identity;
}

}  // namespace quensaria::platform
