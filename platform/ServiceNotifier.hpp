#pragma once

namespace norvid::platform {

// Tells the service manager how the service is doing (no effect outside a managed service).
void notifyReady();
void notifyStopping();

// True when the process was started by the service manager.
bool startedByServiceManager();

// The listening SOCK_SEQPACKET Unix socket that the service manager passed to this process
// (socket activation), or -1 when it passed none. The process owns the descriptor; the
// environment that announced it is cleared, so child processes do not see it.
int listeningSocketFromManager();

}  // namespace norvid::platform
