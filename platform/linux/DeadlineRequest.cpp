#include "platform/DeadlineRequest.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/FileHandle.hpp"
#include "platform/SocketClient.hpp"
#include "platform/SystemError.hpp"

namespace norvid::platform {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kCancelSlice{100};

DeadlineReply reply(DeadlineReply::Outcome outcome, std::string error = {}) {
  DeadlineReply result;
  result.outcome = outcome;
  result.error = std::move(error);
  return result;
}

// Waits for `events` on `descriptor` in slices, so that a raised cancel flag is seen soon.
// Returns Answered when ready, or the outcome that ended the wait.
DeadlineReply::Outcome waitFor(int descriptor, short events, Clock::time_point deadline,
                               const std::atomic<bool>* cancel, std::string& error) {
  for (;;) {
    if (cancel != nullptr && cancel->load()) return DeadlineReply::Outcome::Cancelled;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return DeadlineReply::Outcome::TimedOut;
    pollfd polled{descriptor, events, 0};
    int ready = ::poll(&polled, 1, static_cast<int>(std::min(left, kCancelSlice).count()) + 1);
    if (ready < 0 && errno != EINTR) {
      error = "poll: " + errnoText(errno);
      return DeadlineReply::Outcome::Failed;
    }
    if (ready > 0) return DeadlineReply::Outcome::Answered;
  }
}

}  // namespace

DeadlineReply requestWithDeadline(const std::string& socketPath, const std::string& request,
                                  Clock::time_point deadline,
                                  const std::function<void(std::int32_t)>& onConnected,
                                  const std::atomic<bool>* cancel, int descriptor) {
  using Outcome = DeadlineReply::Outcome;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
    return reply(Outcome::Failed, "socket path too long: " + socketPath);
  }
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  FileHandle socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.isOpen()) return reply(Outcome::Failed, "socket: " + errnoText(errno));

  // A full backlog answers EAGAIN on a non-blocking Unix socket: try again until the deadline.
  for (;;) {
    if (::connect(socket.descriptor(), reinterpret_cast<const sockaddr*>(&address),
                  sizeof address) == 0) {
      break;
    }
    const int code = errno;
    if (code == EINTR) continue;
    if (code == ENOENT || code == ECONNREFUSED || code == ENOTDIR) {
      return reply(Outcome::Unreachable, "connect " + socketPath + ": " + errnoText(code));
    }
    if (code != EAGAIN) return reply(Outcome::Failed, "connect: " + errnoText(code));
    if (cancel != nullptr && cancel->load()) return reply(Outcome::Cancelled);
    if (Clock::now() >= deadline) return reply(Outcome::TimedOut, "connect: backlog full");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (onConnected) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(socket.descriptor(), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0) {
      onConnected(peer.pid);
    }
  }

  std::string error;
  for (;;) {
    Result<std::size_t> sent = sendWithDescriptor(socket.descriptor(), request, descriptor);
    if (sent) break;
    const int code = sent.failure().code;
    if (code == EPIPE || code == ECONNRESET) return reply(Outcome::Unreachable, sent.message());
    if (code != EAGAIN && code != EWOULDBLOCK) return reply(Outcome::Failed, sent.message());
    Outcome waited = waitFor(socket.descriptor(), POLLOUT, deadline, cancel, error);
    if (waited != Outcome::Answered) return reply(waited, error);
  }

  DeadlineReply answer;
  std::vector<char> buffer(128 * 1024);
  for (;;) {
    Outcome waited = waitFor(socket.descriptor(), POLLIN, deadline, cancel, error);
    if (waited != Outcome::Answered) return reply(waited, error);
    ssize_t received = ::recv(socket.descriptor(), buffer.data(), buffer.size(), 0);
    if (received < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      if (errno == ECONNRESET) return reply(Outcome::Unreachable, "recv: " + errnoText(errno));
      return reply(Outcome::Failed, "recv: " + errnoText(errno));
    }
    if (received == 0) break;
    answer.text.append(buffer.data(), static_cast<std::size_t>(received));
  }
  // A server that closes without answering (stopping, or refusing the request) gave no verdict.
  answer.outcome = answer.text.empty() ? Outcome::Unreachable : Outcome::Answered;
  if (answer.text.empty()) answer.error = "closed without an answer";
  return answer;
}

}  // namespace norvid::platform
