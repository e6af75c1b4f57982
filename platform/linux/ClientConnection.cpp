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
namespace {

bool fail(std::string* error, const std::string& what) {
  if (error != nullptr) *error = what;
  return false;
}

}  // namespace

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

ClientConnection ClientConnection::connectTo(const std::string& path, std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    fail(error, "socket path too long: " + path);
    return ClientConnection();
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ClientConnection connection(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!connection.isOpen()) {
    fail(error, "socket: " + errnoText(errno));
    return connection;
  }
  int result;
  do {
    result = ::connect(connection.descriptor_, reinterpret_cast<const sockaddr*>(&address),
                       sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    fail(error, "connect " + path + ": " + errnoText(errno));
    connection.close();
  }
  return connection;
}

bool ClientConnection::sendMessage(const std::string& message, std::string* error) {
  ssize_t sent;
  do {
    sent = ::send(descriptor_, message.data(), message.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return fail(error, "send: " + errnoText(errno));
  return true;
}

std::optional<std::string> ClientConnection::receiveUntilClosed(std::chrono::milliseconds timeout,
                                                                std::string* error) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string response;
  std::vector<char> buffer(128 * 1024);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      fail(error, "no answer within " + std::to_string(timeout.count()) + " ms");
      return std::nullopt;
    }
    pollfd polled{descriptor_, POLLIN, 0};
    int ready = ::poll(&polled, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      fail(error, "poll: " + errnoText(errno));
      return std::nullopt;
    }
    if (ready == 0) continue;
    ssize_t received = ::recv(descriptor_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (received < 0) {
      fail(error, "recv: " + errnoText(errno));
      return std::nullopt;
    }
    if (received == 0) return response;
    response.append(buffer.data(), static_cast<std::size_t>(received));
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
