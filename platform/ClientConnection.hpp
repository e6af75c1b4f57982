#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// Move-only owner of one client connection to the service socket, for callers that need more
// control than sendRequest gives: a bounded wait for the answer, or a connection held open
// without a request. The socket is closed when the owner goes away.
class ClientConnection {
 public:
  ClientConnection() = default;
  ~ClientConnection();
  ClientConnection(ClientConnection&& other) noexcept;
  ClientConnection& operator=(ClientConnection&& other) noexcept;
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // Connects to the socket at `path`.
  static Result<ClientConnection> connectTo(const std::string& path);

  bool isOpen() const { return descriptor_ >= 0; }

  // Sends `message` as one message. REQUIRES: isOpen().
  Result<> sendMessage(const std::string& message);

  // Reads and joins the messages until the server closes the connection, waiting `timeout` at
  // most in all. Fails when the time ran out (ETIMEDOUT) or a read failed; an answer that was
  // never sent before the close reads as an empty string.
  Result<std::string> receiveUntilClosed(std::chrono::milliseconds timeout);

  // Reads the next message, waiting `timeout` at most (a negative timeout waits without end).
  // An empty optional when the server has closed the connection; ETIMEDOUT when nothing came.
  Result<std::optional<std::string>> receiveMessage(std::chrono::milliseconds timeout);

  // True once the server has closed its end; looks without waiting and consumes nothing.
  bool closedByPeer() const;

  void close();

 private:
  explicit ClientConnection(int descriptor) : descriptor_(descriptor) {}

  int descriptor_ = -1;
};

}  // namespace norvid::platform
