#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace norvid::platform {

// Connections that stay open to receive messages as they come (one SOCK_SEQPACKET message each):
// every connection has a queue of at most `capacity` messages, and one thread sends what each
// socket takes without waiting, so a reader that does not keep up never holds back the one who
// posts. A connection is closed when its peer hangs up or sends anything, when close() asks for
// it, or when the object goes away; its onClosed then runs, once, on the sending thread (or in
// the destructor).
class MessageStreams {
 public:
  enum class Post { Queued, Full, Gone };

  explicit MessageStreams(std::size_t capacity);
  ~MessageStreams();
  MessageStreams(const MessageStreams&) = delete;
  MessageStreams& operator=(const MessageStreams&) = delete;

  // Takes the connected socket `fd` (made non-blocking here). Returns its id.
  std::uint64_t add(int fd, std::function<void()> onClosed);
  // Queues `message` for connection `id`; Full when its queue holds `capacity` messages already.
  Post post(std::uint64_t id, std::string message);
  // Closes `id` after the messages already queued had their chance to go (asynchronously).
  void close(std::uint64_t id);
  std::size_t size() const;

 private:
  struct Stream {
    int fd;
    std::deque<std::string> queue;
    std::function<void()> onClosed;
    bool closing = false;
  };

  void run();
  void wake();
  // Sends what the socket takes; false when the connection failed.
  static bool flush(Stream& stream);
  // Closes the streams in `done`, outside the lock.
  static void finish(std::vector<Stream>& done);

  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::map<std::uint64_t, Stream> streams_;
  std::uint64_t nextId_ = 1;
  bool stopping_ = false;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::thread sender_;
};

}  // namespace norvid::platform
