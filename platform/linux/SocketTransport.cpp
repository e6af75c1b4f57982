#include "platform/SocketTransport.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace norvid::platform {
namespace {

bool fillAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// True when some process accepts connections on the socket file at `path`.
bool socketIsLive(const sockaddr_un& address) {
  int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  bool live = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(probe);
  return live;
}

// The supplementary groups of the peer as they were when it connected; empty when unreadable.
std::vector<std::uint32_t> peerGroups(int fd) {
  std::vector<gid_t> groups(64);
  for (int attempt = 0; attempt < 2; ++attempt) {
    socklen_t length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
      groups.resize(length / sizeof(gid_t));
      return {groups.begin(), groups.end()};
    }
    if (errno != ERANGE) break;
    groups.resize(length / sizeof(gid_t) + 1);
  }
  return {};
}

CallerIdentity peerIdentity(int fd) {
  CallerIdentity caller;
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
    caller.known = true;
    caller.uid = credentials.uid;
    caller.gid = credentials.gid;
    caller.pid = credentials.pid;
    caller.groups = peerGroups(fd);
  } else {
    // An unknown peer gets the least privileged identity, never root's.
    caller.known = true;
    caller.uid = static_cast<std::uint32_t>(-1);
    caller.gid = static_cast<std::uint32_t>(-1);
  }
  return caller;
}

}  // namespace

SocketTransport::SocketTransport() : SocketTransport(Options{}) {}

SocketTransport::SocketTransport(Options options) : options_(options) {
  if (options_.workers == 0) options_.workers = 1;
}

SocketTransport::~SocketTransport() {
  stop();
  if (listenFd_ >= 0) ::close(listenFd_);
  if (wakeRead_ >= 0) ::close(wakeRead_);
  if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

int SocketTransport::open(const std::string& path) {
  sockaddr_un address;
  if (!fillAddress(path, address)) return ENAMETOOLONG;
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return errno;
  auto failWith = [fd](int code) {
    ::close(fd);
    return code;
  };
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int code = errno;
    if (code != EADDRINUSE) return failWith(code);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) || socketIsLive(address)) {
      return failWith(EADDRINUSE);
    }
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      return failWith(errno);
    }
  }
  if (::chmod(path.c_str(), 0666) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    int code = errno;
    ::unlink(path.c_str());
    return failWith(code);
  }
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    int code = errno;
    ::unlink(path.c_str());
    return failWith(code);
  }
  std::lock_guard<std::mutex> guard(mutex_);
  listenFd_ = fd;
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  path_ = path;
  stopping_ = false;
  return 0;
}

int SocketTransport::adopt(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  int wake[2];
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
      ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || ::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    return errno;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  listenFd_ = fd;
  adopted_ = true;
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  stopping_ = false;
  return 0;
}

void SocketTransport::startWorkers() {
  workers_.reserve(options_.workers);
  for (std::size_t i = 0; i < options_.workers; ++i) {
    workers_.emplace_back([this] { workerLoop(); });
  }
}

SocketTransport::ReadOutcome SocketTransport::readRequest(int fd, std::string& request) {
  char buffer[kMaxRequestBytes + 1];
  ssize_t received;
  do {
    // MSG_TRUNC makes recv report the whole message length, so an oversized request is seen as
    // such instead of being cut to the buffer.
    received = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
  } while (received < 0 && errno == EINTR);
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadOutcome::NotYet;
  if (received <= 0 || static_cast<std::size_t>(received) > kMaxRequestBytes) {
    return ReadOutcome::Refused;
  }
  request.assign(buffer, static_cast<std::size_t>(received));
  return ReadOutcome::Complete;
}

int SocketTransport::serve(RequestHandler handler) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (listenFd_ < 0 || stopping_) return EBADF;
    handler_ = std::move(handler);
    serving_ = true;
    // Under the mutex, so that a concurrent stop() finds either no workers or all of them.
    startWorkers();
  }

  std::vector<Waiting> waiting;
  int result = 0;
  std::vector<pollfd> polled;
  for (;;) {
    bool acceptMore;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (stopping_) break;
      acceptMore = openConnections_ < options_.maxConnections;
    }
    auto now = std::chrono::steady_clock::now();
    int timeoutMs = -1;
    for (const Waiting& entry : waiting) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(entry.deadline - now);
      int ms = static_cast<int>(std::max<long long>(0, left.count() + 1));
      timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
    }

    polled.clear();
    polled.push_back({wakeRead_, POLLIN, 0});
    polled.push_back({acceptMore ? listenFd_ : -1, POLLIN, 0});
    for (const Waiting& entry : waiting) polled.push_back({entry.fd, POLLIN, 0});
    if (::poll(polled.data(), polled.size(), timeoutMs) < 0) {
      if (errno == EINTR) continue;
      result = errno;
      break;
    }
    if (polled[0].revents != 0) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }

    now = std::chrono::steady_clock::now();
    std::vector<Waiting> stillWaiting;
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      const Waiting& entry = waiting[i];
      short events = polled[i + 2].revents;
      if (events != 0) {
        Job job{entry.fd, std::string(), CallerIdentity{}};
        ReadOutcome outcome = readRequest(entry.fd, job.request);
        if (outcome == ReadOutcome::Complete) {
          job.caller = peerIdentity(entry.fd);
          std::lock_guard<std::mutex> guard(mutex_);
          jobs_.push_back(std::move(job));
          jobReady_.notify_one();
        } else if (outcome == ReadOutcome::Refused || (events & (POLLHUP | POLLERR)) != 0) {
          finishConnection(entry.fd);
        } else {
          stillWaiting.push_back(entry);
        }
      } else if (now >= entry.deadline) {
        finishConnection(entry.fd);
      } else {
        stillWaiting.push_back(entry);
      }
    }
    waiting.swap(stillWaiting);

    if (acceptMore && (polled[1].revents & POLLIN) != 0) {
      for (;;) {
        {
          std::lock_guard<std::mutex> guard(mutex_);
          if (openConnections_ >= options_.maxConnections) break;
        }
        int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
          if (errno == EINTR || errno == ECONNABORTED) continue;
          if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EMFILE && errno != ENFILE) {
            result = errno;
          }
          break;
        }
        // A client that never reads its answer must not hold a worker forever.
        timeval sendTimeout{10, 0};
        ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
        {
          std::lock_guard<std::mutex> guard(mutex_);
          ++openConnections_;
        }
        waiting.push_back({client, now + options_.requestTimeout});
      }
      if (result != 0) break;
    } else if (acceptMore && (polled[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      std::lock_guard<std::mutex> guard(mutex_);
      if (!stopping_) result = EINVAL;
      break;
    }
  }
  for (const Waiting& entry : waiting) finishConnection(entry.fd);
  return result;
}

void SocketTransport::workerLoop() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      jobReady_.wait(lock, [this] { return !jobs_.empty() || !serving_; });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      ++busy_;
    }
    serveJob(job);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      --busy_;
      if (busy_ == 0 && jobs_.empty()) drained_.notify_all();
    }
  }
}

void SocketTransport::serveJob(const Job& job) {
  std::string response;
  try {
    response = handler_(job.request, job.caller);
  } catch (...) {
    response.clear();
  }
  for (std::size_t offset = 0; offset < response.size(); offset += kMaxMessageBytes) {
    std::size_t length = std::min(kMaxMessageBytes, response.size() - offset);
    ssize_t sent;
    do {
      sent = ::send(job.fd, response.data() + offset, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) break;
  }
  finishConnection(job.fd);
}

void SocketTransport::finishConnection(int fd) {
  // Closing a Unix socket with unread messages resets the peer, which would then lose the answer
  // still waiting in its queue; so discard what the client sent beyond its request first.
  ::shutdown(fd, SHUT_WR);
  char discard[256];
  for (int i = 0; i < 64 && ::recv(fd, discard, sizeof discard, MSG_DONTWAIT) > 0; ++i) {
  }
  ::close(fd);
  std::lock_guard<std::mutex> guard(mutex_);
  if (openConnections_ > 0) --openConnections_;
  if (wakeWrite_ >= 0) {
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wakeWrite_, &byte, 1);
  }
}

std::size_t SocketTransport::busyWorkers() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return busy_;
}

void SocketTransport::stop() {
  std::vector<std::thread> workers;
  bool drainedInTime = true;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (listenFd_ < 0) return;
    if (!stopping_) {
      stopping_ = true;
      // Shutting down a socket shared with the service manager would break it for the next run.
      if (!adopted_) ::shutdown(listenFd_, SHUT_RDWR);
      char byte = 0;
      [[maybe_unused]] ssize_t ignored = ::write(wakeWrite_, &byte, 1);
    }
    // Requests already read are answered; the wait is bounded so a stuck handler cannot hold
    // the stop forever.
    drainedInTime = drained_.wait_for(lock, options_.drainTimeout,
                                      [this] { return jobs_.empty() && busy_ == 0; });
    serving_ = false;
    jobReady_.notify_all();
    workers.swap(workers_);
  }
  for (std::thread& worker : workers) {
    // A worker still stuck in a handler after the drain timeout is left to finish on its own.
    if (!drainedInTime || worker.get_id() == std::this_thread::get_id()) {
      worker.detach();
    } else {
      worker.join();
    }
  }
  std::lock_guard<std::mutex> guard(mutex_);
  if (!path_.empty()) {
    ::unlink(path_.c_str());
    path_.clear();
  }
}

}  // namespace norvid::platform
