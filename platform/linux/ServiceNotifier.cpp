#include "platform/ServiceNotifier.hpp"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace norvid::platform {

void notifyReady() { sd_notify(0, "READY=1"); }

void notifyStopping() { sd_notify(0, "STOPPING=1"); }

bool startedByServiceManager() {
  return std::getenv("INVOCATION_ID") != nullptr || std::getenv("NOTIFY_SOCKET") != nullptr;
}

}  // namespace norvid::platform
