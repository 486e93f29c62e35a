#include "platform/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace quensaria::platform {

bool UnderServiceManager() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && socket[0] != '\0';
}

void NotifyReady() { sd_notify(0, "READY=1"); }

void NotifyExtendTimeout(std::chrono::microseconds more) {
  sd_notifyf(0, "EXTEND_TIMEOUT_USEC=%llu", static_cast<unsigned long long>(more.count()));
}

void NotifyStopping() { sd_notify(0, "STOPPING=1"); }

void NotifyStatus(const std::string& text) { sd_notify(0, ("STATUS=" + text).c_str()); }

}  // namespace quensaria::platform
