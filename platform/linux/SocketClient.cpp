#include "platform/SocketClient.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/SystemError.hpp"

namespace norvid::platform {

Result<std::size_t> sendWithDescriptor(int socket, const std::string& message, int descriptor) {
  iovec part{const_cast<char*>(message.data()), message.size()};
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (descriptor >= 0) {
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    cmsghdr* attached = CMSG_FIRSTHDR(&header);
    attached->cmsg_level = SOL_SOCKET;
    attached->cmsg_type = SCM_RIGHTS;
    attached->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(attached), &descriptor, sizeof(int));
  }
  for (;;) {
    const ssize_t sent = ::sendmsg(socket, &header, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<std::size_t>(sent);
    if (errno != EINTR) return Failure::ofErrno(errno, "send");
  }
}

Result<std::string> sendRequest(const std::string& socketPath, const std::string& request,
                                int descriptor) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
    return Failure{ENAMETOOLONG, "socket path too long: " + socketPath};
  }
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return Failure::ofErrno(errno, "socket");
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int code = errno;
    ::close(fd);
    return Failure::ofErrno(code, "connect " + socketPath);
  }
  if (Result<std::size_t> sent = sendWithDescriptor(fd, request, descriptor); !sent) {
    const int code = sent.failure().code;
    ::close(fd);
    // A request the server refused (too long) reads as a connection closed without answer.
    if (code == EPIPE || code == ECONNRESET || code == EMSGSIZE) return std::string();
    return sent.failure();
  }
  std::string response;
  std::vector<char> buffer(128 * 1024);
  for (;;) {
    ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (received < 0 && errno == EINTR) continue;
    if (received <= 0) break;
    response.append(buffer.data(), static_cast<std::size_t>(received));
  }
  ::close(fd);
  return response;
}

}  // namespace norvid::platform
