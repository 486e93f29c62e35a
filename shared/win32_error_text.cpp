#include "shared/win32_error_text.h"

#include "shared/win32_error.h"

namespace quensaria {
namespace {

struct ErrorText {
  uint32_t code;
  const char* text;
};

constexpr ErrorText kTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_WRITE_PROTECT, "The media is write protected."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_BAD_COMMAND, "The device does not recognize the command."},
    {ERROR_SEEK, "The drive cannot locate a specific area or track on the disk."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the "
     "file."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_HANDLE_DISK_FULL, "The disk is full."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_UNEXP_NET_ERR, "An unexpected network error occurred."},
    {ERROR_NETNAME_DELETED, "The specified network name is no longer available."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PASSWORD, "The specified network password is not correct."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_OPEN_FAILED, "The system cannot open the device or file specified."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved."},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request."},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1058,
     "The service cannot be started, either because it is disabled or because it has no enabled "
     "devices associated with it."},
    {1060, "The specified service does not exist as an installed service."},
    {1062, "The service has not been started."},
    {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
    {ERROR_NO_MEDIA_IN_DRIVE, "No media in drive."},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_CONNECTION_REFUSED, "The remote computer refused the network connection."},
    {ERROR_NETWORK_UNREACHABLE,
     "The network location cannot be reached. For information about network troubleshooting, "
     "see Windows Help."},
    {ERROR_HOST_UNREACHABLE,
     "The network location cannot be reached. For information about network troubleshooting, "
     "see Windows Help."},
    {ERROR_CONNECTION_ABORTED, "The network connection was aborted by the local system."},
    {ERROR_NO_SYSTEM_RESOURCES,
     "Insufficient system resources exist to complete the requested service."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_EXPORT_NEEDS_TLS, "The export uses TLS: mount it with TLS."},
    {ERROR_EXPORT_NOT_TLS, "The export does not use TLS: mount it without TLS."},
    {1717, "The interface is unknown."},
    {1722, "The RPC server is unavailable."},
    {1726, "The remote procedure call failed."},
    {1753, "There are no more endpoints available from the endpoint mapper."},
    {WSAEINTR, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {WSAEBADF, "The file handle supplied is not valid."},
    {WSAEACCES,
     "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {WSAEFAULT,
     "The system detected an invalid pointer address in attempting to use a pointer argument in a "
     "call."},
    {WSAEINVAL, "An invalid argument was supplied."},
    {WSAEMFILE, "Too many open sockets."},
    {WSAEWOULDBLOCK, "A non-blocking socket operation could not be completed immediately."},
    {WSAENOTSOCK, "An operation was attempted on something that is not a socket."},
    {WSAEMSGSIZE,
     "A message sent on a datagram socket was larger than the internal message buffer or some "
     "other network limit, or the buffer used to receive a datagram into was smaller than the "
     "datagram itself."},
    {WSAEPROTONOSUPPORT,
     "The requested protocol has not been configured into the system, or no implementation for "
     "it exists."},
    {WSAEOPNOTSUPP, "The attempted operation is not supported for the type of object referenced."},
    {WSAEAFNOSUPPORT, "An address incompatible with the requested protocol was used."},
    {WSAEADDRINUSE,
     "Only one usage of each socket address (protocol/network address/port) is normally "
     "permitted."},
    {WSAEADDRNOTAVAIL, "The requested address is not valid in its context."},
    {WSAENETDOWN, "A socket operation encountered a dead network."},
    {WSAENETUNREACH, "A socket operation was attempted to an unreachable network."},
    {WSAENETRESET,
     "The connection has been broken due to keep-alive activity detecting a failure while the "
     "operation was in progress."},
    {WSAECONNABORTED,
     "An established connection was aborted by the software in your host machine."},
    {WSAECONNRESET, "An existing connection was forcibly closed by the remote host."},
    {WSAENOBUFS,
     "An operation on a socket could not be performed because the system lacked sufficient "
     "buffer space or because a queue was full."},
    {WSAEISCONN, "A connect request was made on an already connected socket."},
    {WSAENOTCONN,
     "A request to send or receive data was disallowed because the socket is not connected and "
     "(when sending on a datagram socket using a sendto call) no address was supplied."},
    {WSAESHUTDOWN,
     "A request to send or receive data was disallowed because the socket had already been shut "
     "down in that direction with a previous shutdown call."},
    {WSAETIMEDOUT,
     "A connection attempt failed because the connected party did not properly respond after a "
     "period of time, or established connection failed because connected host has failed to "
     "respond."},
    {WSAECONNREFUSED,
     "No connection could be made because the target machine actively refused it."},
    {WSAEHOSTUNREACH, "A socket operation was attempted to an unreachable host."},
    {WSAHOST_NOT_FOUND, "No such host is known."},
    {WSATRY_AGAIN,
     "This is usually a temporary error during hostname resolution and means that the local "
     "server did not receive a response from an authoritative server."},
    {WSANO_RECOVERY, "A non-recoverable error occurred during a database lookup."},
    {WSANO_DATA, "The requested name is valid, but no data of the requested type was found."},
};

}  // namespace

std::string Win32ErrorText(uint32_t code) {
  for (const ErrorText& row : kTexts) {
    if (row.code == code) return row.text;
  }
  return std::string();
}

}  // namespace quensaria
