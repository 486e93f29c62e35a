// Win32 error codes: the system's own error numbers for the service, the
// mounter and the configurator (Status codes, console log lines, the low 16
// bits of a failed read's reply status). errno is mapped to them once, in
// platform/errors.h.
#ifndef QUENSARIA_SHARED_WIN32_ERROR_H_
#define QUENSARIA_SHARED_WIN32_ERROR_H_

#include <cstdint>

namespace quensaria {

inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_INVALID_DATA = 13;
inline constexpr uint32_t ERROR_OUTOFMEMORY = 14;
inline constexpr uint32_t ERROR_WRITE_PROTECT = 19;
inline constexpr uint32_t ERROR_NOT_READY = 21;
inline constexpr uint32_t ERROR_BAD_COMMAND = 22;
inline constexpr uint32_t ERROR_SEEK = 25;
inline constexpr uint32_t ERROR_WRITE_FAULT = 29;
inline constexpr uint32_t ERROR_READ_FAULT = 30;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr uint32_t ERROR_LOCK_VIOLATION = 33;
inline constexpr uint32_t ERROR_HANDLE_EOF = 38;
inline constexpr uint32_t ERROR_HANDLE_DISK_FULL = 39;
inline constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr uint32_t ERROR_UNEXP_NET_ERR = 59;
inline constexpr uint32_t ERROR_NETNAME_DELETED = 64;
inline constexpr uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr uint32_t ERROR_INVALID_PASSWORD = 86;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_BROKEN_PIPE = 109;
inline constexpr uint32_t ERROR_OPEN_FAILED = 110;
inline constexpr uint32_t ERROR_DISK_FULL = 112;
inline constexpr uint32_t ERROR_SEM_TIMEOUT = 121;
inline constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr uint32_t ERROR_INVALID_NAME = 123;
inline constexpr uint32_t ERROR_DIR_NOT_EMPTY = 145;
inline constexpr uint32_t ERROR_BUSY = 170;
inline constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr uint32_t ERROR_FILE_TOO_LARGE = 223;
inline constexpr uint32_t ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr uint32_t ERROR_OPERATION_ABORTED = 995;
inline constexpr uint32_t ERROR_IO_INCOMPLETE = 996;
inline constexpr uint32_t ERROR_IO_PENDING = 997;
inline constexpr uint32_t ERROR_NOACCESS = 998;
inline constexpr uint32_t ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr uint32_t ERROR_NO_MEDIA_IN_DRIVE = 1112;
inline constexpr uint32_t ERROR_IO_DEVICE = 1117;
inline constexpr uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr uint32_t ERROR_NOT_FOUND = 1168;
inline constexpr uint32_t ERROR_CONNECTION_REFUSED = 1225;
inline constexpr uint32_t ERROR_NETWORK_UNREACHABLE = 1231;
inline constexpr uint32_t ERROR_HOST_UNREACHABLE = 1232;
inline constexpr uint32_t ERROR_CONNECTION_ABORTED = 1236;
inline constexpr uint32_t ERROR_NO_SYSTEM_RESOURCES = 1450;
inline constexpr uint32_t ERROR_TIMEOUT = 1460;
// This system's own (application bit 29 set), of STATUS_EXPORT_NEEDS_TLS and
// STATUS_EXPORT_NOT_TLS.
inline constexpr uint32_t ERROR_EXPORT_NEEDS_TLS = 0x20000001;
inline constexpr uint32_t ERROR_EXPORT_NOT_TLS = 0x20000002;

// Windows Sockets errors, reported by the service's socket log lines.
inline constexpr uint32_t WSAEINTR = 10004;
inline constexpr uint32_t WSAEBADF = 10009;
inline constexpr uint32_t WSAEACCES = 10013;
inline constexpr uint32_t WSAEFAULT = 10014;
inline constexpr uint32_t WSAEINVAL = 10022;
inline constexpr uint32_t WSAEMFILE = 10024;
inline constexpr uint32_t WSAEWOULDBLOCK = 10035;
inline constexpr uint32_t WSAENOTSOCK = 10038;
inline constexpr uint32_t WSAEMSGSIZE = 10040;
inline constexpr uint32_t WSAEPROTONOSUPPORT = 10043;
inline constexpr uint32_t WSAEOPNOTSUPP = 10045;
inline constexpr uint32_t WSAEAFNOSUPPORT = 10047;
inline constexpr uint32_t WSAEADDRINUSE = 10048;
inline constexpr uint32_t WSAEADDRNOTAVAIL = 10049;
inline constexpr uint32_t WSAENETDOWN = 10050;
inline constexpr uint32_t WSAENETUNREACH = 10051;
inline constexpr uint32_t WSAENETRESET = 10052;
inline constexpr uint32_t WSAECONNABORTED = 10053;
inline constexpr uint32_t WSAECONNRESET = 10054;
inline constexpr uint32_t WSAENOBUFS = 10055;
inline constexpr uint32_t WSAEISCONN = 10056;
inline constexpr uint32_t WSAENOTCONN = 10057;
inline constexpr uint32_t WSAESHUTDOWN = 10058;
inline constexpr uint32_t WSAETIMEDOUT = 10060;
inline constexpr uint32_t WSAECONNREFUSED = 10061;
inline constexpr uint32_t WSAEHOSTUNREACH = 10065;
inline constexpr uint32_t WSAHOST_NOT_FOUND = 11001;
inline constexpr uint32_t WSATRY_AGAIN = 11002;
inline constexpr uint32_t WSANO_RECOVERY = 11003;
inline constexpr uint32_t WSANO_DATA = 11004;

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_WIN32_ERROR_H_
