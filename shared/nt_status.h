// NT status codes: the driver's results, carried in DeviceControlBlock.status
// and mapped to Win32 errors for the mounter by Win32ErrorFromNtStatus.
#ifndef QUENSARIA_SHARED_NT_STATUS_H_
#define QUENSARIA_SHARED_NT_STATUS_H_

#include <cstdint>

namespace quensaria {

using NtStatus = uint32_t;

// Success and informational codes have the top bit clear.
constexpr bool NT_SUCCESS(NtStatus status) { return (status & 0x80000000u) == 0; }

inline constexpr NtStatus STATUS_SUCCESS = 0x00000000;
inline constexpr NtStatus STATUS_PENDING = 0x00000103;
inline constexpr NtStatus STATUS_BUFFER_OVERFLOW = 0x80000005;
inline constexpr NtStatus STATUS_DEVICE_BUSY = 0x80000011;
inline constexpr NtStatus STATUS_UNSUCCESSFUL = 0xC0000001;
inline constexpr NtStatus STATUS_NOT_IMPLEMENTED = 0xC0000002;
inline constexpr NtStatus STATUS_INVALID_HANDLE = 0xC0000008;
inline constexpr NtStatus STATUS_INVALID_PARAMETER = 0xC000000D;
inline constexpr NtStatus STATUS_NO_SUCH_FILE = 0xC000000F;
inline constexpr NtStatus STATUS_INVALID_DEVICE_REQUEST = 0xC0000010;
inline constexpr NtStatus STATUS_END_OF_FILE = 0xC0000011;
inline constexpr NtStatus STATUS_NO_MEDIA_IN_DEVICE = 0xC0000013;
inline constexpr NtStatus STATUS_NO_MEMORY = 0xC0000017;
inline constexpr NtStatus STATUS_ACCESS_DENIED = 0xC0000022;
inline constexpr NtStatus STATUS_BUFFER_TOO_SMALL = 0xC0000023;
inline constexpr NtStatus STATUS_OBJECT_NAME_INVALID = 0xC0000033;
inline constexpr NtStatus STATUS_OBJECT_NAME_NOT_FOUND = 0xC0000034;
inline constexpr NtStatus STATUS_OBJECT_NAME_COLLISION = 0xC0000035;
inline constexpr NtStatus STATUS_OBJECT_PATH_NOT_FOUND = 0xC000003A;
inline constexpr NtStatus STATUS_SHARING_VIOLATION = 0xC0000043;
inline constexpr NtStatus STATUS_PRIVILEGE_NOT_HELD = 0xC0000061;
inline constexpr NtStatus STATUS_WRONG_PASSWORD = 0xC000006A;
inline constexpr NtStatus STATUS_DISK_FULL = 0xC000007F;
inline constexpr NtStatus STATUS_INSUFFICIENT_RESOURCES = 0xC000009A;
inline constexpr NtStatus STATUS_MEDIA_WRITE_PROTECTED = 0xC00000A2;
inline constexpr NtStatus STATUS_DEVICE_NOT_READY = 0xC00000A3;
inline constexpr NtStatus STATUS_IO_TIMEOUT = 0xC00000B5;
inline constexpr NtStatus STATUS_FILE_IS_A_DIRECTORY = 0xC00000BA;
inline constexpr NtStatus STATUS_NOT_SUPPORTED = 0xC00000BB;
inline constexpr NtStatus STATUS_UNEXPECTED_NETWORK_ERROR = 0xC00000C4;
inline constexpr NtStatus STATUS_NOT_A_DIRECTORY = 0xC0000103;
inline constexpr NtStatus STATUS_DEVICE_ALREADY_ATTACHED = 0xC000010E;
inline constexpr NtStatus STATUS_TOO_MANY_OPENED_FILES = 0xC000011F;
inline constexpr NtStatus STATUS_INVALID_ADDRESS = 0xC0000141;
inline constexpr NtStatus STATUS_DRIVER_INTERNAL_ERROR = 0xC0000183;
inline constexpr NtStatus STATUS_INVALID_DEVICE_STATE = 0xC0000184;
inline constexpr NtStatus STATUS_IO_DEVICE_ERROR = 0xC0000185;
inline constexpr NtStatus STATUS_ADDRESS_ALREADY_EXISTS = 0xC000020A;
inline constexpr NtStatus STATUS_CONNECTION_DISCONNECTED = 0xC000020C;
inline constexpr NtStatus STATUS_CONNECTION_RESET = 0xC000020D;
inline constexpr NtStatus STATUS_NETWORK_UNREACHABLE = 0xC000023C;
inline constexpr NtStatus STATUS_HOST_UNREACHABLE = 0xC000023D;
inline constexpr NtStatus STATUS_CONNECTION_REFUSED = 0xC0000236;
inline constexpr NtStatus STATUS_CONNECTION_ABORTED = 0xC0000241;
inline constexpr NtStatus STATUS_FILE_TOO_LARGE = 0xC0000904;
// This system's own (customer bit set): a log-on at the wrong kind of export.
// STATUS_EXPORT_NEEDS_TLS: a plain client at an export that speaks TLS;
// STATUS_EXPORT_NOT_TLS: a TLS client at a plain export.
inline constexpr NtStatus STATUS_EXPORT_NEEDS_TLS = 0xE0000001;
inline constexpr NtStatus STATUS_EXPORT_NOT_TLS = 0xE0000002;

// The Win32 error that a caller of the driver sees for an NT status, as the
// system's own conversion gives it (STATUS_WRONG_PASSWORD -> 86,
// STATUS_DEVICE_ALREADY_ATTACHED -> 1056). Unknown statuses give 317.
uint32_t Win32ErrorFromNtStatus(NtStatus status);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_NT_STATUS_H_
