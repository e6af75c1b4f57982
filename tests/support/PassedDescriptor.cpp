#include "tests/support/PassedDescriptor.hpp"

#include <sys/socket.h>

#include <cstring>

namespace norvid::testing {

ReceivedMessage receiveWithDescriptor(int socket) {
  ReceivedMessage received;
  char buffer[4096];
  iovec part{buffer, sizeof buffer};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  const ssize_t length = ::recvmsg(socket, &header, MSG_CMSG_CLOEXEC);
  if (length < 0) return received;
  received.text.assign(buffer, static_cast<std::size_t>(length));
  for (cmsghdr* attached = CMSG_FIRSTHDR(&header); attached != nullptr;
       attached = CMSG_NXTHDR(&header, attached)) {
    if (attached->cmsg_level == SOL_SOCKET && attached->cmsg_type == SCM_RIGHTS) {
      std::memcpy(&received.descriptor, CMSG_DATA(attached), sizeof(int));
    }
  }
  return received;
}

}  // namespace norvid::testing
