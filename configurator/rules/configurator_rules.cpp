#include "configurator/rules/configurator_rules.h"

#include <arpa/inet.h>

#include <cstring>

#include "shared/block_protocol.h"
#include "shared/dotted_ipv4.h"
#include "shared/password_digest.h"
#include "shared/rbd_source.h"

namespace quensaria::configurator {

const char* SizeUnitText(SizeUnit unit) {
  switch (unit) {
    case SizeUnit::kG:
      return "G";
    case SizeUnit::kM:
      return "M";
    case SizeUnit::kK:
      return "K";
  }
  return "G";
}

namespace {
int UnitShift(SizeUnit unit) {
  switch (unit) {
    case SizeUnit::kG:
      return 30;
    case SizeUnit::kM:
      return 20;
    case SizeUnit::kK:
      return 10;
  }
  return 30;
}
}  // namespace

std::optional<int64_t> SizeInBytes(uint64_t value, SizeUnit unit) {
  const int shift = UnitShift(unit);
  if (value > (static_cast<uint64_t>(INT64_MAX) >> shift)) return std::nullopt;
  return static_cast<int64_t>(value << shift);
}

std::optional<ShownSize> ShowSize(uint64_t bytes) {
  if (bytes > (uint64_t{1} << 30)) return ShownSize{bytes >> 30, SizeUnit::kG};
  if (bytes > (uint64_t{1} << 20)) return ShownSize{bytes >> 20, SizeUnit::kM};
  if (bytes > (uint64_t{1} << 10)) return ShownSize{bytes >> 10, SizeUnit::kK};
  return std::nullopt;
}

Sha1Digest ChooseLoginDigest(bool edited, std::string_view text,
                             const std::optional<Sha1Digest>& stored_default) {
  if (!edited && stored_default) return *stored_default;
  if (text == kPlaceholderPassword) return PasswordDigest("");
  return PasswordDigest(text);
}

Sha1Digest ChooseManageDigest(bool edited, std::string_view text,
                              const std::optional<Sha1Digest>& stored_default) {
  if (!edited && stored_default) return *stored_default;
  if (text.empty() || text == kPlaceholderPassword) return kNoManagePassword;
  return PasswordDigest(text);
}

std::string WholeSourcePath(std::string_view source, std::string_view working_directory) {
  const bool device_name = source.substr(0, 4) == "\\\\.\\";
  if (source.empty() || source.front() == '/' || IsRbdSource(source) || device_name ||
      working_directory.empty()) {
    return std::string(source);
  }
  std::string whole(working_directory);
  if (whole.back() != '/') whole += '/';
  return whole.append(source);
}

BuiltServer BuildServerConfig(const ServerForm& form,
                              const std::optional<Sha1Digest>& login_default,
                              const std::optional<Sha1Digest>& manage_default) {
  BuiltServer built;
  std::memset(&built.config, 0, sizeof built.config);
  ServerConfig& config = built.config;
  if (form.source.empty()) {
    built.message = kSourceEmpty;
    return built;
  }
  if (form.source.size() >= sizeof config.Source) {
    built.message = kSourceTooLong;
    return built;
  }
  if (IsRbdSource(form.source)) {
    const Result<RbdName> name = ParseRbdSource(form.source);
    if (!name.ok()) {
      built.message =
          "The source \"" + form.source + "\" is not understood: " + name.status().message() + ".";
      return built;
    }
  }
  const std::optional<int64_t> bytes = SizeInBytes(form.size, form.unit);
  if (!bytes) {
    built.message = "The size is too large.";
    return built;
  }
  config.SizeBytes = *bytes;
  std::memcpy(config.Source, form.source.data(), form.source.size());
  config.IpAddress = form.address;
  config.Port = static_cast<uint16_t>(form.port & 0xFFFF);
  config.Cache = form.cache;
  const Sha1Digest login = ChooseLoginDigest(form.login_edited, form.login, login_default);
  if (form.login != form.login_confirm || form.manage != form.manage_confirm) {
    built.message = kPasswordMismatch;
    return built;
  }
  const Sha1Digest manage = ChooseManageDigest(form.manage_edited, form.manage, manage_default);
  std::memcpy(config.Password, login.data(), login.size());
  std::memcpy(config.ManagePassword, manage.data(), manage.size());
  config.AuthMode = form.tls ? AUTH_MODE_TLS : AUTH_MODE_PLAIN;
  return built;
}

std::string TlsWarning(const ServerConfig& config) {
  if (config.AuthMode != AUTH_MODE_TLS) return {};
  const Sha1Digest empty = PasswordDigest("");
  if (std::memcmp(config.Password, empty.data(), kDigestSize) != 0) return {};
  return "TLS with an empty log-on password: its key is known to everyone, so anyone may log "
         "on, and whoever can get between client and server can read and change the traffic; set a "
         "log-on password.";
}

ClientEntry AnyAddressClient() { return AddressClient(0, ACCESS_VIRTUAL_WRITE); }

ClientEntry AddressClient(uint32_t address, uint8_t access) {
  ClientEntry entry;
  std::memset(&entry, 0, sizeof entry);
  entry.address = address;
  entry.access = access;
  entry.state = kClientStatic;
  entry.nameState = kNameUnknown;
  return entry;
}

std::vector<uint32_t> RangeAddresses(uint32_t start_network, uint32_t end_network) {
  std::vector<uint32_t> addresses;
  const uint32_t start = ntohl(start_network);
  const uint32_t end = ntohl(end_network);
  if (start > end) return addresses;
  for (uint32_t host = start;; ++host) {
    addresses.push_back(htonl(host));
    if (host == end) break;  // also ends a range up to 255.255.255.255
  }
  return addresses;
}

std::string RangeRefusal(uint32_t start_network, uint32_t end_network) {
  const uint32_t start = ntohl(start_network);
  const uint32_t end = ntohl(end_network);
  if (start > end) {
    return "The range is empty: its end address " + AddressText(end_network) +
           " comes before its start address " + AddressText(start_network) + ".";
  }
  if (end - start >= kMaxRangeAddresses) {
    return "The range holds " + std::to_string(uint64_t{end} - start + 1) + " addresses; at most " +
           std::to_string(kMaxRangeAddresses) + " can be added at once.";
  }
  return {};
}

uint32_t FollowingEndAddress(ClientKind kind, uint32_t start_network) {
  switch (kind) {
    case ClientKind::kAny:
      return 0;
    case ClientKind::kAddress:
      return start_network;
    case ClientKind::kRange:
      return htonl(ntohl(start_network) | 0xFFu);
  }
  return 0;
}

bool AccessChangeAllowed(const ClientEntry& entry, uint8_t access) {
  return !(access == ACCESS_FULL && entry.address == 0);
}

std::string AddressText(uint32_t address_network) { return FormatIpv4(address_network).c_str(); }

std::optional<uint32_t> ParseAddress(std::string_view text) {
  const std::string copy(text);
  in_addr address{};
  if (inet_pton(AF_INET, copy.c_str(), &address) != 1) return std::nullopt;
  return address.s_addr;
}

std::string AddressRefusal(std::string_view text) {
  if (text.empty()) return "Please enter an IP address.";
  return "\"" + std::string(text) +
         "\" is not an IP address: enter four numbers from 0 to 255 separated by dots, such as "
         "192.168.0.1.";
}

}  // namespace quensaria::configurator
