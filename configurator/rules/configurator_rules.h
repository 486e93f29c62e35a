// The configurator's rules for what it sends: every record built from zeros
// with only the named fields set, the password digests and their defaults,
// the "Any Address" client, the IP-range walk, the create-size arithmetic
// and its display. Plain functions, no I/O; used by ludrane and ludrane-cli.
#ifndef QUENSARIA_CONFIGURATOR_RULES_CONFIGURATOR_RULES_H_
#define QUENSARIA_CONFIGURATOR_RULES_CONFIGURATOR_RULES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/block_protocol.h"
#include "shared/management_records.h"
#include "shared/password_digest.h"

namespace quensaria::configurator {

// What the password fields hold until the user types, and the dialogs'
// note that it stands for no password.
inline constexpr char kPlaceholderPassword[] = "5820937164285039";
inline constexpr char kUntouchedPasswordNote[] = "不修改的密码框表示不设密码。";
inline constexpr int32_t kDefaultCache = 100;
inline constexpr int32_t kMaxCache = 1024;

enum class SizeUnit { kG, kM, kK };
// "G", "M", "K".
const char* SizeUnitText(SizeUnit unit);

// value × 2^30, 2^20 or 2^10 in 64 bits; nullopt when that overflows int64.
std::optional<int64_t> SizeInBytes(uint64_t value, SizeUnit unit);

struct ShownSize {
  uint64_t value;
  SizeUnit unit;
};
// The largest unit the size exceeds (strictly): > 1 GiB in G, > 1 MiB in M,
// > 1 KiB in K; nullopt at 1024 bytes or less.
std::optional<ShownSize> ShowSize(uint64_t bytes);

// The digests a server gets for its two password pairs: the stored default
// when the field was not edited and there is one, else from the text. The
// placeholder is the same on every machine, so it never becomes a password:
// as it stands (edited or not) it means "no password". For the log-on that
// is the empty password's digest; the management password is then not set,
// as it is for an empty field: 20 zero bytes, which no log-on matches.
Sha1Digest ChooseLoginDigest(bool edited, std::string_view text,
                             const std::optional<Sha1Digest>& stored_default);
Sha1Digest ChooseManageDigest(bool edited, std::string_view text,
                              const std::optional<Sha1Digest>& stored_default);
// The management digest that is not set.
inline constexpr Sha1Digest kNoManagePassword{};

// Why a create-server form is refused; empty when it is fine.
inline constexpr char kPasswordMismatch[] =
    "Password and confirm password is not the same, please re-enter";
inline constexpr char kSourceTooLong[] =
    "The source path is too long: at most 259 bytes can be served.";
inline constexpr char kSourceEmpty[] = "Choose the file or device to serve.";

// The source as the service is to open it: a relative path names a file
// from `working_directory` (the service's own is another), so it is joined
// to it; an absolute path, an rbd: image, a "\\.\" device name and an
// empty field stay as they are, and so does anything without a directory.
std::string WholeSourcePath(std::string_view source, std::string_view working_directory);

struct ServerForm {
  std::string source;            // image path or device path as it will be sent
  uint32_t address = 0;          // network byte order; 0 = "Any"
  uint32_t port = kDefaultPort;  // only the low 16 bits are sent
  uint64_t size = 0;
  SizeUnit unit = SizeUnit::kG;
  int32_t cache = kDefaultCache;
  std::string login = kPlaceholderPassword;
  std::string login_confirm = kPlaceholderPassword;
  std::string manage = kPlaceholderPassword;
  std::string manage_confirm = kPlaceholderPassword;
  bool login_edited = false;
  bool manage_edited = false;
  bool tls = false;  // AuthMode: the export speaks TLS with PSK
};

struct BuiltServer {
  ServerConfig config;  // valid when message is empty
  std::string message;  // the refusal to show, dialog stays open
};
// Builds the zero-filled record from the form in the order of the checks:
// source length, size overflow, password pairs.
BuiltServer BuildServerConfig(const ServerForm& form,
                              const std::optional<Sha1Digest>& login_default,
                              const std::optional<Sha1Digest>& manage_default);

// What is wrong with the TLS of `config`, to warn of; empty when nothing
// is (or it is no TLS export). A TLS export whose log-on password is the
// empty one has a key everyone knows: anyone logs on, and a man in the
// middle reads the traffic.
std::string TlsWarning(const ServerConfig& config);

// The "Any Address" client added to a new server and by "any": address 0,
// virtual write, static, name unknown; everything else zero.
ClientEntry AnyAddressClient();
// A zero-filled static client for one address (network order).
ClientEntry AddressClient(uint32_t address, uint8_t access);

// The addresses of an IP range, start to end, both included (what the
// dialog's two fields say), compared as unsigned host-order numbers; each
// returned in network order. Empty when start is above end.
std::vector<uint32_t> RangeAddresses(uint32_t start_network, uint32_t end_network);
// Why a range is refused; empty when it is fine. Each address is one
// request and one save of the service's file, so a range is bounded.
inline constexpr uint32_t kMaxRangeAddresses = 1024;
std::string RangeRefusal(uint32_t start_network, uint32_t end_network);

// The end address that follows a start: the start for one address, the
// start with its last octet 255 for a range, 0 for any.
enum class ClientKind { kAny, kAddress, kRange };
uint32_t FollowingEndAddress(ClientKind kind, uint32_t start_network);

// "Full access" is refused for the "Any Address" entry.
inline constexpr char kAnyNotFull[] =
    "Only specifically ip address can change access mode to full access, but the \"Any Address\" "
    "can't. ";
bool AccessChangeAllowed(const ClientEntry& entry, uint8_t access);
inline constexpr char kAccessNotChanged[] = "The service did not change the client's access.";

// Messages of the server commands.
inline constexpr char kCreateFailed[] =
    "Can not create this service , you have no privilege to create or the service with same IP "
    "address and port is already exists.";
inline constexpr char kAnyClientNotAdded[] =
    "The server was created, but the service did not add its \"Any Address\" client.";
inline constexpr char kDeleteQuestion[] =
    "After deleted this server, all the clients connect to this server will be ejected, remove it "
    "anyway?";
inline constexpr char kDeleteCaption[] = "Are you sure";
inline constexpr char kServerNotDeleted[] = "The service did not delete the server.";
inline constexpr char kClientNotDeleted[] = "The service did not delete the client.";
// A command that met a service no longer answering (Create Service's
// greyed reason too).
inline constexpr char kServiceDoesNotAnswer[] = "The Quensaria service does not answer.";
inline constexpr char kStartFailedStatus[] =
    "Quensaria Service encounter an error while starting this server, please check ip address and "
    "port is not in use.";
inline constexpr char kStopFailedStatus[] =
    "Quensaria Service encounter an error while stopping this server, please check ip address and "
    "port is not in use.";

// Dotted decimal of a network-order address; 0 shows as 0.0.0.0.
std::string AddressText(uint32_t address_network);
// Parses dotted decimal into network order: exactly four numbers 0..255.
std::optional<uint32_t> ParseAddress(std::string_view text);
// The message for an address field whose text ParseAddress refuses.
std::string AddressRefusal(std::string_view text);

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_RULES_CONFIGURATOR_RULES_H_
