#pragma once

namespace norvid::platform {

// Tells the service manager how the service is doing (no effect outside a managed service).
void notifyReady();
void notifyStopping();

// True when the process was started by the service manager.
bool startedByServiceManager();

}  // namespace norvid::platform
