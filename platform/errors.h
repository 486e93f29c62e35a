// The one table that maps errno values to the system's own error numbers:
// Win32 errors (files), Windows Sockets errors (socket log lines) and NT
// statuses (the driver). Everything above the platform layer sees only these.
#ifndef QUENSARIA_PLATFORM_ERRORS_H_
#define QUENSARIA_PLATFORM_ERRORS_H_

#include <cstdint>
#include <string>

#include "shared/nt_status.h"
#include "shared/status.h"

namespace quensaria::platform {

uint32_t Win32ErrorFromErrno(int error_number);
uint32_t SocketErrorFromErrno(int error_number);
NtStatus NtStatusFromErrno(int error_number);
// The other way: what a program reading or writing a device file sees for a
// status the driver ends a request with (EIO for anything unlisted).
int ErrnoFromNtStatus(NtStatus status);

// The system's text for a Win32 error: that of the errno it stands for
// ("No space left on device" for ERROR_DISK_FULL), or the Win32 text for a
// code no errno maps to.
std::string SystemErrorText(uint32_t win32_error);

// The text of an errno value, as strerror gives it ("Connection reset by
// peer"), for log lines; safe in any thread.
const char* ErrnoText(int error_number);

// A failed Status for `error_number`, with "context: strerror" as message.
Status ErrnoStatus(const std::string& context, int error_number);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_ERRORS_H_
