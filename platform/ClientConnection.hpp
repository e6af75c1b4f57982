#pragma once

#include <chrono>
#include <optional>
#include <string>

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

  // Connects to the socket at `path`; the result is not open on failure (`error` says why).
  static ClientConnection connectTo(const std::string& path, std::string* error = nullptr);

  bool isOpen() const { return descriptor_ >= 0; }

  // Sends `message` as one message. REQUIRES: isOpen().
  bool sendMessage(const std::string& message, std::string* error = nullptr);

  // Reads and joins the messages until the server closes the connection, waiting `timeout` at
  // most in all. Empty when the time ran out or a read failed (`error` says which); an answer
  // that was never sent before the close reads as an empty string.
  std::optional<std::string> receiveUntilClosed(std::chrono::milliseconds timeout,
                                                std::string* error = nullptr);

  // True once the server has closed its end; looks without waiting and consumes nothing.
  bool closedByPeer() const;

  void close();

 private:
  explicit ClientConnection(int descriptor) : descriptor_(descriptor) {}

  int descriptor_ = -1;
};

}  // namespace norvid::platform
