// velmoran-ctl: sends the Velmoran devices their controls from a shell, for
// tests and administrators: mount a network disk or an image file, unmount,
// query, name the block device a mounted device is also served as, or send
// any control code and print the answer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/device_control_client.h"
#include "platform/password_input.h"
#include "shared/device_control.h"
#include "shared/dotted_ipv4.h"
#include "shared/driver_layout.h"
#include "shared/mount_record.h"
#include "shared/nt_status.h"
#include "shared/password_digest.h"
#include "shared/utf16.h"
#include "shared/win32_error_text.h"

namespace {

using quensaria::DeviceFilePath;
using quensaria::DottedIpv4;
using quensaria::DriveDefinitionsDir;
using quensaria::FormatIpv4;
using quensaria::GlobalDriveLinksDir;
using quensaria::kDefaultDriverRuntimeDir;
using quensaria::MountRecord;
using quensaria::NtStatus;
using quensaria::platform::DeviceControlClient;

const char kUsage[] =
    "usage: velmoran-ctl [--runtime-dir DIR] COMMAND DEVICE [OPTIONS]\n"
    "  mount-net DEVICE ADDRESS:PORT [ADDRESS:PORT...] [--letter X]\n"
    "            [--password-file FILE] [--password TEXT] [--cache-dir DIR] [--read-only]\n"
    "            [--tls] [--connections N]\n"
    "  mount-net DEVICE ADDRESS PORT [OPTIONS]   (one server, the older form)\n"
    "  mount-image DEVICE FILE [--letter X] [--size BYTES] [--read-only] [--cd]\n"
    "  unmount DEVICE\n"
    "  query DEVICE\n"
    "  block-device DEVICE   print the drive's block device /dev/ublkbN (exit status\n"
    "                        1: it has none)\n"
    "  control DEVICE CODE [--output BYTES] [--input HEX]\n"
    "DEVICE is a device file, a device name (VelmoranEx0, VelmoranExCd3) or a drive (X:).\n"
    "A network disk may name up to three servers of the same disk (commas or blanks\n"
    "between them); the first one that answers serves it, and when its connection is\n"
    "lost the driver goes on with another that serves the same disk.\n"
    "Options:\n"
    "  --runtime-dir DIR     the driver's runtime directory (default /run/velmoran)\n"
    "  --letter X            the drive letter to link to the device\n"
    "  --password-file FILE  the export's log-on password: the first line of FILE;\n"
    "                        with FILE -, a line of standard input, asked for without\n"
    "                        echo on a terminal (default: the empty password)\n"
    "  --password TEXT       the same on the command line, for scripts: every user of\n"
    "                        this machine can read it in the process list, and shell\n"
    "                        history keeps it\n"
    "  --cache-dir DIR       where the write cache of virtual write is kept (default /tmp)\n"
    "  --read-only           refuse writes\n"
    "  --tls                 the export speaks TLS: log on by the TLS handshake, the\n"
    "                        password's digest the key (it never crosses the wire),\n"
    "                        and every byte to and from the export encrypted\n"
    "  --connections N       connections the network disk opens to its server, so that\n"
    "                        N of its requests are served at once, 1..16 (default: the\n"
    "                        driver's, 4)\n"
    "  --size BYTES          create FILE, sparse, of BYTES bytes when it does not\n"
    "                        exist (not with --read-only); an existing file keeps\n"
    "                        its own size\n"
    "  --cd                  mount the image as a CD-ROM\n"
    "  --output BYTES        the size of the control's output buffer\n"
    "  --input HEX           the control's input bytes, in hexadecimal\n"
    "  -h, --help            print this help and exit\n"
    "Exit status: 0 success, 1 the device could not be opened or answered a failure\n"
    "status, 2 bad usage.\n";

struct Args {
  std::string runtime_dir = kDefaultDriverRuntimeDir;
  std::string command;
  std::string device;
  std::vector<std::string> positional;
  std::vector<std::string> options;  // those of a command, as given
  std::string letter, password, password_file, cache_dir = "/tmp";
  std::vector<uint8_t> input;
  uint64_t size = 0;
  uint32_t output = 0;
  bool read_only = false, cd = false, has_password = false, help = false, tls = false;
  uint8_t connections = 0;  // the driver's choice
};

// A whole number, decimal or with a 0x prefix hexadecimal.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
  const bool hex = text.starts_with("0x") || text.starts_with("0X");
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || !std::isxdigit(static_cast<unsigned char>(digits[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(digits.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

// A control code: all of the text a number of 32 bits, hexadecimal with
// 0x, else decimal. A leading 0 is no octal: 0100 would send 64.
bool ParseCode(const std::string& text, uint32_t* out) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  const bool hex = text.starts_with("0x") || text.starts_with("0X");
  if (hex && (text.size() == 2 || !std::isxdigit(static_cast<unsigned char>(text[2])))) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || value > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

// Bytes as pairs of hexadecimal digits, nothing else.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* out) {
  if (text.size() % 2 != 0) return false;
  const bool digits =
      std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
  if (!digits) return false;
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    out->push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return true;
}

// "K", "k", "K:" or "k:": the only forms Letter() reads right; the driver
// links nothing for another byte, and the next option taken for the letter
// would be lost.
bool IsDriveLetter(const std::string& text) {
  if (text.empty() || text.size() > 2 || (text.size() == 2 && text[1] != ':')) return false;
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return letter >= 'A' && letter <= 'Z';
}

bool Parse(int argc, char** argv, Args* a) {
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string text;
    uint64_t number = 0;
    if (arg.starts_with("--") && arg != "--runtime-dir") a->options.push_back(arg);
    if (arg == "-h" || arg == "--help") {
      a->help = true;
      return true;
    } else if (arg == "--runtime-dir") {
      if (!value(&a->runtime_dir) || a->runtime_dir.empty()) return false;
    } else if (arg == "--letter") {
      if (!value(&a->letter) || !IsDriveLetter(a->letter)) return false;
    } else if (arg == "--password") {
      if (!value(&a->password) || a->has_password) return false;
      a->has_password = true;
    } else if (arg == "--password-file") {
      if (!value(&a->password_file) || a->password_file.empty() || a->has_password) return false;
      a->has_password = true;
    } else if (arg == "--cache-dir") {
      if (!value(&a->cache_dir) || a->cache_dir.empty()) return false;
    } else if (arg == "--input") {
      if (!value(&text) || !ParseHexBytes(text, &a->input)) return false;
    } else if (arg == "--size") {
      if (!value(&text) || !ParseNumber(text, UINT64_MAX, &a->size)) return false;
    } else if (arg == "--output") {
      if (!value(&text) || !ParseNumber(text, UINT32_MAX, &number)) return false;
      a->output = static_cast<uint32_t>(number);
    } else if (arg == "--connections") {
      if (!value(&text) || !ParseNumber(text, quensaria::kMaxMountConnections, &number) ||
          number == 0) {
        return false;
      }
      a->connections = static_cast<uint8_t>(number);
    } else if (arg == "--read-only") {
      a->read_only = true;
    } else if (arg == "--cd") {
      a->cd = true;
    } else if (arg == "--tls") {
      a->tls = true;
    } else if (arg.starts_with("--")) {
      return false;
    } else {
      rest.push_back(arg);
    }
  }
  if (rest.size() < 2) return false;
  a->command = rest[0];
  a->device = rest[1];
  // A drive in either case, as --letter takes it: its links are named in
  // capitals.
  if (a->device.size() == 2 && a->device[1] == ':') {
    a->device[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(a->device[0])));
  }
  a->positional.assign(rest.begin() + 2, rest.end());
  return true;
}

// A device file path from a path, a device name or a drive.
std::string DevicePath(const Args& a) {
  if (a.device.find('/') != std::string::npos) return a.device;
  if (a.device.size() == 2 && a.device[1] == ':') {
    const std::string own = DriveDefinitionsDir(a.runtime_dir) + "/" + a.device;
    // Every user of the devices may put a definition in that folder: only
    // the caller's own is his (the folder is sticky, nobody else may replace
    // it). One that cannot be looked at is none; opening the other says why.
    struct stat st;
    std::error_code error;
    if (::lstat(own.c_str(), &st) == 0 && st.st_uid == ::geteuid() &&
        std::filesystem::exists(own, error)) {
      return own;
    }
    return GlobalDriveLinksDir(a.runtime_dir) + "/" + a.device;
  }
  return DeviceFilePath(a.runtime_dir, a.device);
}

// The device to send the command to. The caller's own definition of a
// drive letter counts, but for a mount (which it is made for), only while
// its device is mounted for that letter: one left behind may name a device
// that serves another drive now. Else the global link.
quensaria::Result<DeviceControlClient> OpenDevice(const Args& a, bool write) {
  const std::string path = DevicePath(a);
  auto client = DeviceControlClient::Open(path, write);
  const bool drive =
      a.device.find('/') == std::string::npos && a.device.size() == 2 && a.device[1] == ':';
  const std::string global = GlobalDriveLinksDir(a.runtime_dir) + "/" + a.device;
  if (!drive || path == global || a.command.starts_with("mount-")) return client;
  if (client.ok()) {
    MountRecord record;
    const uint8_t letter =
        static_cast<uint8_t>(std::toupper(static_cast<unsigned char>(a.device[0])));
    if (quensaria::NT_SUCCESS(client->Query(&record)) && record.driveLetter == letter)
      return client;
  }
  return DeviceControlClient::Open(global, write);
}

int Report(NtStatus status) {
  std::printf("status 0x%08X (Win32 %u)\n", status, quensaria::Win32ErrorFromNtStatus(status));
  return quensaria::NT_SUCCESS(status) ? 0 : 1;
}

uint8_t Letter(const Args& a) {
  return a.letter.empty() ? 0 : static_cast<uint8_t>(std::toupper(a.letter[0]));
}

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
}

// "ADDRESS PORT" (the older form), or one or more ADDRESS:PORT.
std::string ServerListText(const std::vector<std::string>& positional) {
  if (positional.size() == 2 && positional[0].find(':') == std::string::npos &&
      AllDigits(positional[1])) {
    return positional[0] + ":" + positional[1];
  }
  std::string text;
  for (const std::string& p : positional) text += p + " ";
  return text;
}

// The servers of a mount-net, or nothing after saying what is wrong.
std::optional<std::vector<quensaria::MountServer>> MountServers(const Args& a) {
  // Counted here, so that a fourth server is refused by name.
  auto servers = quensaria::ParseServerList(ServerListText(a.positional), SIZE_MAX);
  if (!servers.ok()) {
    std::fprintf(stderr, "velmoran-ctl: %s\n", servers.status().message().c_str());
    return std::nullopt;
  }
  const std::vector<quensaria::MountServer>& list = servers.value();
  if (list.size() > quensaria::kMaxMountServers) {
    std::fprintf(stderr,
                 "velmoran-ctl: a network disk names at most %zu servers, not %zu: %s is one too "
                 "many\n",
                 quensaria::kMaxMountServers, list.size(),
                 quensaria::ServerText(list[quensaria::kMaxMountServers]).c_str());
    return std::nullopt;
  }
  return list;
}

// `path` made absolute from the working directory, or nothing after saying
// why it cannot be (none given, a working directory that was removed).
std::optional<std::string> AbsolutePath(const std::string& path, const char* what) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error || absolute.empty()) {
    std::fprintf(stderr, "velmoran-ctl: %s \"%s\": %s\n", what, path.c_str(),
                 error ? error.message().c_str() : "no path");
    return std::nullopt;
  }
  return absolute.string();
}

int MountNet(DeviceControlClient& client, const Args& a) {
  if (a.positional.empty()) return -1;
  const auto servers = MountServers(a);
  if (!servers) return 2;
  MountRecord record{};
  record.sourceType = quensaria::kSourceTypeNetwork;
  record.virtualWrite = 1;
  record.networkMarker = 1;
  record.readOnly = a.read_only ? 1 : 0;
  (void)quensaria::SetMountServers(record, *servers);
  record.driveLetter = Letter(a);
  if (a.tls)
    reinterpret_cast<uint8_t*>(&record)[quensaria::kMountFlagsOffset] |= quensaria::kMountFlagTls;
  quensaria::SetMountConnections(record, a.connections);
  const std::string first = quensaria::ServerText(servers->front());
  std::string password = a.password;
  if (!a.password_file.empty()) {
    const std::string prompt = "Password for " + first + ": ";
    auto read = quensaria::platform::ReadPassword(a.password_file, prompt);
    if (!read.ok()) {
      std::fprintf(stderr, "velmoran-ctl: --password-file %s\n", read.status().message().c_str());
      return 2;
    }
    password = std::move(read).value();
  }
  auto digest = quensaria::PasswordDigest(password);
  std::memcpy(record.passwordDigest, digest.data(), digest.size());
  // Only the record's copy is needed; the freed heap and the stack keep no other.
  explicit_bzero(password.data(), password.size());
  explicit_bzero(digest.data(), digest.size());
  char name[64];
  std::snprintf(name, sizeof name, "/%x%x.dat", record.serverAddress, record.serverPort);
  // Made absolute here, as the image path is: the driver runs elsewhere.
  const std::optional<std::string> cache_dir = AbsolutePath(a.cache_dir, "cache directory");
  if (!cache_dir) return 2;
  if (!quensaria::StoreUtf16Field(quensaria::NtPathFromLinux(*cache_dir + name), record.cachePath,
                                  quensaria::kMountPathUnits)) {
    std::fprintf(stderr, "velmoran-ctl: cache path too long\n");
    return 2;
  }
  const NtStatus status = client.Mount(record);
  explicit_bzero(record.passwordDigest, sizeof record.passwordDigest);
  // What went wrong, in words: above all the wrong kind of export.
  if (!quensaria::NT_SUCCESS(status)) {
    std::fprintf(stderr, "velmoran-ctl: %s\n",
                 quensaria::Win32ErrorText(quensaria::Win32ErrorFromNtStatus(status)).c_str());
  }
  return Report(status);
}

int MountImage(DeviceControlClient& client, const Args& a) {
  if (a.positional.size() != 1) return -1;
  MountRecord record{};
  record.sourceType = a.cd ? quensaria::kSourceTypeCdImage : quensaria::kSourceTypeDiskImage;
  record.imageSize = a.size;
  record.readOnly = a.read_only ? 1 : 0;
  record.driveLetter = Letter(a);
  const std::optional<std::string> absolute = AbsolutePath(a.positional[0], "image path");
  if (!absolute) return 2;
  const std::string& path = *absolute;
  // The record holds UTF-16: another name would reach the driver, each bad
  // byte a U+FFFD, and another file be opened or created there.
  if (quensaria::Utf16ToUtf8(quensaria::Utf8ToUtf16(path)) != path) {
    std::fprintf(stderr, "velmoran-ctl: image path is not UTF-8: %s\n", path.c_str());
    return 2;
  }
  if (!quensaria::StoreUtf16Field(quensaria::NtPathFromLinux(path), record.sourceName,
                                  quensaria::kMountPathUnits)) {
    std::fprintf(stderr, "velmoran-ctl: image path too long\n");
    return 2;
  }
  return Report(client.Mount(record));
}

int Query(DeviceControlClient& client) {
  MountRecord record;
  const NtStatus status = client.Query(&record);
  const int result = Report(status);
  if (result != 0) return result;
  const DottedIpv4 address = FormatIpv4(record.serverAddress);
  std::printf("disk size: %" PRIu64 "\n", record.imageSize);
  std::printf("read-only: %u\n", record.readOnly);
  std::printf("virtual write: %u\n", record.virtualWrite);
  std::printf("source type: %u\n", record.sourceType);
  std::printf("server: %s:%u\n", address.c_str(), ntohs(record.serverPort));
  if (record.sourceType == quensaria::kSourceTypeNetwork) {
    const uint8_t flags = reinterpret_cast<const uint8_t*>(&record)[quensaria::kMountFlagsOffset];
    std::printf("tls: %u\n", (flags & quensaria::kMountFlagTls) != 0 ? 1u : 0u);
  }
  const std::vector<quensaria::MountServer> servers = quensaria::MountServers(record);
  // Only a disk of several servers says more than the one line above.
  if (servers.size() > 1) {
    std::string all;
    for (const auto& s : servers) all += (all.empty() ? "" : " ") + quensaria::ServerText(s);
    std::printf("servers: %s\n", all.c_str());
    const size_t on = quensaria::CurrentServer(record);
    if (on < servers.size())
      std::printf("on server: %s\n", quensaria::ServerText(servers[on]).c_str());
  }
  if (record.sourceType == quensaria::kSourceTypeNetwork) {
    std::printf("connections: %u\n", quensaria::MountConnections(record));
  }
  std::printf("drive letter: %c\n", record.driveLetter ? record.driveLetter : '-');
  std::printf("source name: %s\n",
              quensaria::TerminalText(
                  quensaria::LoadUtf16Field(record.sourceName, quensaria::kMountPathUnits))
                  .c_str());
  // Only where the kernel has ublk is the device a block device as well.
  std::string block;
  if (quensaria::NT_SUCCESS(client.QueryBlockDevice(&block)) && !block.empty()) {
    std::printf("block device: %s\n", block.c_str());
  }
  return 0;
}

int BlockDevice(DeviceControlClient& client) {
  std::string block;
  const NtStatus status = client.QueryBlockDevice(&block);
  if (!quensaria::NT_SUCCESS(status)) return Report(status);
  if (block.empty()) return 1;
  std::printf("%s\n", block.c_str());
  return 0;
}

int Control(DeviceControlClient& client, const Args& a) {
  uint32_t code = 0;
  if (a.positional.size() != 1 || !ParseCode(a.positional[0], &code)) return -1;
  // More room than the block holds is refused by the client without a
  // request: not worth a buffer of up to 4 GiB, which may not be had.
  const bool fits = a.output <= sizeof(quensaria::DeviceControlBlock::buffer);
  std::vector<uint8_t> output(fits ? a.output : 0);
  uint32_t information = 0;
  const NtStatus status = fits ? client.Control(code, a.input, output, &information)
                               : quensaria::STATUS_INVALID_PARAMETER;
  const int result = Report(status);
  std::printf("information: %u\n", information);
  const size_t shown = std::min<size_t>(information, output.size());
  for (size_t i = 0; i < shown; ++i) std::printf("%02x%s", output[i], (i % 16 == 15) ? "\n" : " ");
  if (shown % 16 != 0) std::printf("\n");
  return result;
}

// Whether the command is one we know, with the arguments it takes.
bool WellFormed(const Args& a) {
  const size_t n = a.positional.size();
  uint32_t code = 0;
  if (a.command == "mount-net") return n != 0;
  if (a.command == "mount-image") return n == 1;
  if (a.command == "unmount" || a.command == "query" || a.command == "block-device") return n == 0;
  if (a.command == "control") return n == 1 && ParseCode(a.positional[0], &code);
  return false;
}

// The first option given that `a`'s command does not take, or nullptr: the
// others would be passed over without a word (a query given --letter).
const char* ForeignOption(const Args& a) {
  std::vector<std::string_view> own;
  if (a.command == "mount-net") {
    own = {"--letter",    "--password-file", "--password",   "--cache-dir",
           "--read-only", "--tls",           "--connections"};
  } else if (a.command == "mount-image") {
    own = {"--letter", "--size", "--read-only", "--cd"};
  } else if (a.command == "control") {
    own = {"--output", "--input"};
  }
  for (const std::string& option : a.options) {
    if (std::find(own.begin(), own.end(), option) == own.end()) return option.c_str();
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  if (!Parse(argc, argv, &a)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (a.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  // Bad usage is told before the device is looked at: a missing driver
  // must not pass for it. Bad servers are said by name.
  if (!WellFormed(a)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (const char* foreign = ForeignOption(a)) {
    std::fprintf(stderr, "velmoran-ctl: %s is not an option of %s\n", foreign, a.command.c_str());
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (a.command == "mount-net" && !MountServers(a)) return 2;
  const bool write = a.command != "query" && a.command != "block-device";
  auto client = OpenDevice(a, write);
  if (!client.ok()) {
    std::fprintf(stderr, "velmoran-ctl: %s\n", client.status().ToString().c_str());
    return 1;
  }
  int result = -1;
  if (a.command == "mount-net")
    result = MountNet(client.value(), a);
  else if (a.command == "mount-image")
    result = MountImage(client.value(), a);
  else if (a.command == "unmount" && a.positional.empty())
    result = Report(client->Unmount());
  else if (a.command == "query" && a.positional.empty())
    result = Query(client.value());
  else if (a.command == "block-device" && a.positional.empty())
    result = BlockDevice(client.value());
  else if (a.command == "control")
    result = Control(client.value(), a);
  if (result < 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // The output of a query, block-device or control is its answer: one that
  // could not be written (a full disk) is none. A mount or unmount that was
  // done stays done.
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    const int error = errno;
    std::fprintf(stderr, "velmoran-ctl: cannot write standard output: %s\n",
                 error != 0 ? std::strerror(error) : "write failed");
    const bool answer =
        a.command == "query" || a.command == "block-device" || a.command == "control";
    if (answer && result == 0) return 1;
  }
  return result;
}
