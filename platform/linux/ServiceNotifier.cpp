#include "platform/ServiceNotifier.hpp"

#include <sys/socket.h>
#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace norvid::platform {

void notifyReady() { sd_notify(0, "READY=1"); }

void notifyStopping() { sd_notify(0, "STOPPING=1"); }

int listeningSocketFromManager() {
  int count = sd_listen_fds(1);
  for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd) {
    if (sd_is_socket_unix(fd, SOCK_SEQPACKET, 1, nullptr, 0) > 0) return fd;
  }
  return -1;
}

bool startedByServiceManager() {
  return std::getenv("INVOCATION_ID") != nullptr || std::getenv("NOTIFY_SOCKET") != nullptr;
}

}  // namespace norvid::platform
