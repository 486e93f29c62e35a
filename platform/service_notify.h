// Reporting the service's state to systemd (sd_notify). Outside systemd
// (no NOTIFY_SOCKET in the environment) every report does nothing.
// Any thread.
#ifndef QUENSARIA_PLATFORM_SERVICE_NOTIFY_H_
#define QUENSARIA_PLATFORM_SERVICE_NOTIFY_H_

#include <chrono>
#include <string>

namespace quensaria::platform {

// Whether a service manager started us and listens for reports.
bool UnderServiceManager();

// "READY=1": the service runs.
void NotifyReady();
// "EXTEND_TIMEOUT_USEC=...": start-up needs up to `more` from now.
void NotifyExtendTimeout(std::chrono::microseconds more);
// "STOPPING=1": the service is stopping.
void NotifyStopping();
// "STATUS=...": a one-line status text for `systemctl status`.
void NotifyStatus(const std::string& text);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_SERVICE_NOTIFY_H_
