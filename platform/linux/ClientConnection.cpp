#include "platform/ClientConnection.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/SystemError.hpp"

namespace norvid::platform {
ClientConnection::~ClientConnection() { close(); }

ClientConnection::ClientConnection(ClientConnection&& other) noexcept
    : descriptor_(other.descriptor_) {
  other.descriptor_ = -1;
}

ClientConnection& ClientConnection::operator=(ClientConnection&& other) noexcept {
  if (this != &other) {
    close();
    descriptor_ = other.descriptor_;
    other.descriptor_ = -1;
  }
  return *this;
}

Result<ClientConnection> ClientConnection::connectTo(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    return Failure{ENAMETOOLONG, "socket path too long: " + path};
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ClientConnection connection(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!connection.isOpen()) return Failure::ofErrno(errno, "socket");
  int result;
  do {
    result = ::connect(connection.descriptor_, reinterpret_cast<const sockaddr*>(&address),
                       sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return Failure::ofErrno(errno, "connect " + path);
  return connection;
}

Result<> ClientConnection::sendMessage(const std::string& message) {
  ssize_t sent;
  do {
    sent = ::send(descriptor_, message.data(), message.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return Failure::ofErrno(errno, "send");
  return {};
}

Result<std::string> ClientConnection::receiveUntilClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string response;
  std::vector<char> buffer(128 * 1024);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return Failure{ETIMEDOUT, "no answer within " + std::to_string(timeout.count()) + " ms"};
    }
    pollfd polled{descriptor_, POLLIN, 0};
    int ready = ::poll(&polled, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Failure::ofErrno(errno, "poll");
    if (ready == 0) continue;
    ssize_t received = ::recv(descriptor_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (received < 0) return Failure::ofErrno(errno, "recv");
    if (received == 0) return response;
    response.append(buffer.data(), static_cast<std::size_t>(received));
  }
}

Result<std::optional<std::string>> ClientConnection::receiveMessage(
    std::chrono::milliseconds timeout) {
  std::vector<char> buffer(128 * 1024);
  for (;;) {
    pollfd polled{descriptor_, POLLIN, 0};
    const int ready =
        ::poll(&polled, 1, timeout.count() < 0 ? -1 : static_cast<int>(timeout.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Failure::ofErrno(errno, "poll");
    if (ready == 0) return Failure{ETIMEDOUT, "no message"};
    const ssize_t received = ::recv(descriptor_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (received < 0) return Failure::ofErrno(errno, "recv");
    if (received == 0) return std::optional<std::string>();
    return std::optional<std::string>(
        std::string(buffer.data(), static_cast<std::size_t>(received)));
  }
}

bool ClientConnection::closedByPeer() const {
  if (!isOpen()) return true;
  char byte;
  ssize_t received = ::recv(descriptor_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (received == 0) return true;
  return received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

void ClientConnection::close() {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
}

}  // namespace norvid::platform
