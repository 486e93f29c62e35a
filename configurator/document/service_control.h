// The start-up check of the service through systemd's D-Bus API on the
// system bus (DBUS_SYSTEM_BUS_ADDRESS names another bus): unit
// "quensariasvc.service" of org.freedesktop.systemd1. No bus, no systemd or
// no such unit means the service cannot be opened and nothing is shown. An
// inactive unit brings the question; Yes starts it (without waiting for it
// to run), and a failed start shows kStartServiceFailed. GUI thread.
#ifndef QUENSARIA_CONFIGURATOR_DOCUMENT_SERVICE_CONTROL_H_
#define QUENSARIA_CONFIGURATOR_DOCUMENT_SERVICE_CONTROL_H_

#include "configurator/document/user_prompts.h"

namespace quensaria::configurator {

inline constexpr char kServiceUnit[] = "quensariasvc.service";
inline constexpr char kStartQuestion[] =
    "The Quensaria service is not started, do you want to start it now?";
inline constexpr char kStartQuestionCaption[] = "Question";
inline constexpr char kStartServiceFailed[] = "Can't to start Quensaria service!";

enum class ServiceCheck {
  kCannotOpen,      // no bus, no manager or no unit: silent
  kRunning,         // active
  kDeclined,        // not active, the user said No
  kStartRequested,  // not active, Yes, StartUnit accepted
  kStartFailed,     // not active, Yes, StartUnit refused (message shown)
};

ServiceCheck CheckAndStartService(UserPrompts& prompts);

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_DOCUMENT_SERVICE_CONTROL_H_
