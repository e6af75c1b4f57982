#include "platform/MessageStreams.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace norvid::platform {

MessageStreams::MessageStreams(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  sender_ = std::thread([this] { run(); });
}

MessageStreams::~MessageStreams() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake();
  sender_.join();
  std::vector<Stream> done;
  for (auto& [id, stream] : streams_) done.push_back(std::move(stream));
  streams_.clear();
  finish(done);
  ::close(wakeRead_);
  ::close(wakeWrite_);
}

std::uint64_t MessageStreams::add(int fd, std::function<void()> onClosed) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  std::uint64_t id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = nextId_++;
    streams_.emplace(id, Stream{fd, {}, std::move(onClosed), stopping_});
  }
  wake();
  return id;
}

MessageStreams::Post MessageStreams::post(std::uint64_t id, std::string message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = streams_.find(id);
    if (found == streams_.end() || found->second.closing) return Post::Gone;
    if (found->second.queue.size() >= capacity_) return Post::Full;
    found->second.queue.push_back(std::move(message));
  }
  wake();
  return Post::Queued;
}

void MessageStreams::close(std::uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = streams_.find(id);
    if (found == streams_.end()) return;
    found->second.closing = true;
  }
  wake();
}

std::size_t MessageStreams::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return streams_.size();
}

void MessageStreams::wake() {
  char byte = 1;
  [[maybe_unused]] ssize_t ignored = ::write(wakeWrite_, &byte, 1);
}

bool MessageStreams::flush(Stream& stream) {
  while (!stream.queue.empty()) {
    const std::string& message = stream.queue.front();
    const ssize_t sent =
        ::send(stream.fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    stream.queue.pop_front();
  }
  return true;
}

void MessageStreams::finish(std::vector<Stream>& done) {
  for (Stream& stream : done) {
    ::shutdown(stream.fd, SHUT_RDWR);
    ::close(stream.fd);
    if (stream.onClosed) stream.onClosed();
  }
  done.clear();
}

void MessageStreams::run() {
  std::vector<pollfd> polled;
  std::vector<std::uint64_t> ids;
  std::vector<Stream> done;
  for (;;) {
    polled.assign(1, pollfd{wakeRead_, POLLIN, 0});
    ids.clear();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      for (auto entry = streams_.begin(); entry != streams_.end();) {
        Stream& stream = entry->second;
        // What the socket takes goes now; a closing stream gets its last try, then goes.
        const bool alive = flush(stream);
        if (!alive || stream.closing) {
          done.push_back(std::move(stream));
          entry = streams_.erase(entry);
          continue;
        }
        const short events = static_cast<short>(POLLIN | (stream.queue.empty() ? 0 : POLLOUT));
        polled.push_back({stream.fd, events, 0});
        ids.push_back(entry->first);
        ++entry;
      }
    }
    finish(done);
    if (::poll(polled.data(), polled.size(), -1) < 0 && errno != EINTR) return;
    if (polled[0].revents != 0) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const short events = polled[i + 1].revents;
      auto found = streams_.find(ids[i]);
      if (found == streams_.end()) continue;
      // The peer sends nothing after its request: anything it sends, or its hanging up, ends it.
      if ((events & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) found->second.closing = true;
    }
  }
}

}  // namespace norvid::platform
