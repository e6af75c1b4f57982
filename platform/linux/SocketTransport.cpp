#include "platform/SocketTransport.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

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

// Raises the soft descriptor limit to the hard one and returns the limit now in force.
std::uint64_t raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return 1u << 20;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

bool connectionIsRoots(const CallerIdentity& caller) { return caller.uid == 0; }

// Set by keepConnection() during the handler call of this worker thread.
thread_local bool keepRequested = false;

}  // namespace

std::size_t SocketTransport::connectionCapForLimit(std::uint64_t descriptorLimit) {
  // Each worker may hold a few files at once (a scanned file, an archive and its members, a store
  // file); the rest of the process needs its rules, logs and sockets.
  const std::uint64_t reserved = descriptorLimit >= 1024 ? 256 : descriptorLimit / 2;
  return static_cast<std::size_t>(std::max<std::uint64_t>(descriptorLimit - reserved, 1));
}

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

Result<> SocketTransport::open(const std::string& path) {
  sockaddr_un address;
  if (!fillAddress(path, address)) return Failure::ofErrno(ENAMETOOLONG, "socket path " + path);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return Failure::ofErrno(errno, "socket");
  auto failWith = [fd](int code, const std::string& step) {
    ::close(fd);
    return Failure::ofErrno(code, step);
  };
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int code = errno;
    if (code != EADDRINUSE) return failWith(code, "bind " + path);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) || socketIsLive(address)) {
      return failWith(EADDRINUSE, "bind " + path);
    }
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      return failWith(errno, "bind " + path);
    }
  }
  if (::chmod(path.c_str(), 0666) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    int code = errno;
    ::unlink(path.c_str());
    return failWith(code, "listen on " + path);
  }
  const std::uint64_t descriptorLimit = raiseDescriptorLimit();
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    int code = errno;
    ::unlink(path.c_str());
    return failWith(code, "pipe2");
  }
  std::lock_guard<std::mutex> guard(mutex_);
  takeListener(fd, wake, descriptorLimit);
  path_ = path;
  return {};
}

Result<> SocketTransport::adopt(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  int wake[2];
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
      ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || ::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    return Failure::ofErrno(errno, "adopt socket " + std::to_string(fd));
  }
  const std::uint64_t descriptorLimit = raiseDescriptorLimit();
  std::lock_guard<std::mutex> guard(mutex_);
  takeListener(fd, wake, descriptorLimit);
  adopted_ = true;
  return {};
}

void SocketTransport::takeListener(int fd, const int (&wake)[2], std::uint64_t descriptorLimit) {
  listenFd_ = fd;
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  stopping_ = false;
  if (options_.maxConnections == 0) {
    options_.maxConnections = connectionCapForLimit(descriptorLimit);
  }
}

void SocketTransport::wakePoller() {
  if (wakeWrite_ >= 0) {
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wakeWrite_, &byte, 1);
  }
}

void SocketTransport::startWorkers() {
  const std::size_t quick = options_.quickRequest ? options_.quickWorkers : 0;
  workers_.reserve(options_.workers + quick);
  for (std::size_t i = 0; i < options_.workers; ++i) {
    workers_.emplace_back([this] { workerLoop(false); });
  }
  for (std::size_t i = 0; i < quick; ++i) {
    workers_.emplace_back([this] { workerLoop(true); });
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

Result<> SocketTransport::serve(RequestHandler handler) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (listenFd_ < 0 || stopping_) return Failure::ofErrno(EBADF, "serve");
    handler_ = std::move(handler);
    serving_ = true;
    // Under the mutex, so that a concurrent stop() finds either no workers or all of them.
    startWorkers();
  }

  using Clock = std::chrono::steady_clock;
  std::vector<Waiting> waiting;
  std::vector<Outgoing> sending;
  Clock::time_point pausedUntil{};
  Result<> result;
  std::vector<pollfd> polled;
  for (;;) {
    bool acceptMore;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (stopping_) break;
      acceptMore = openConnections_ < options_.maxConnections;
      for (Outgoing& out : handedOver_) sending.push_back(std::move(out));
      handedOver_.clear();
    }
    auto now = Clock::now();
    // Out of descriptors: leave the listening socket alone for a while instead of spinning on it.
    const bool paused = now < pausedUntil;
    const bool pollListener = acceptMore && !paused;
    int timeoutMs = -1;
    auto consider = [&](Clock::time_point deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
      int ms = static_cast<int>(std::max<long long>(0, left.count() + 1));
      timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
    };
    for (const Waiting& entry : waiting) consider(entry.deadline);
    for (const Outgoing& out : sending) consider(out.deadline);
    if (acceptMore && paused) consider(pausedUntil);

    polled.clear();
    polled.push_back({wakeRead_, POLLIN, 0});
    polled.push_back({pollListener ? listenFd_ : -1, POLLIN, 0});
    for (const Waiting& entry : waiting) polled.push_back({entry.fd, POLLIN, 0});
    for (const Outgoing& out : sending) polled.push_back({out.fd, POLLOUT, 0});
    if (::poll(polled.data(), polled.size(), timeoutMs) < 0) {
      if (errno == EINTR) continue;
      result = Failure::ofErrno(errno, "poll");
      break;
    }
    if (polled[0].revents != 0) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }

    now = Clock::now();
    std::vector<Waiting> stillWaiting;
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      Waiting& entry = waiting[i];
      short events = polled[i + 2].revents;
      if (events != 0) {
        Job job{entry.fd, std::string(), entry.caller};
        ReadOutcome outcome = readRequest(entry.fd, job.request);
        if (outcome == ReadOutcome::Complete) {
          const bool quick = options_.quickRequest && options_.quickRequest(job.request);
          std::lock_guard<std::mutex> guard(mutex_);
          if (quick) {
            quickJobs_.push_back(std::move(job));
            quickJobReady_.notify_one();
          } else {
            jobs_.push_back(std::move(job));
          }
          jobReady_.notify_one();
        } else if (outcome == ReadOutcome::Refused || (events & (POLLHUP | POLLERR)) != 0) {
          finishConnection(entry.fd, entry.caller);
        } else {
          stillWaiting.push_back(entry);
        }
      } else if (now >= entry.deadline) {
        finishConnection(entry.fd, entry.caller);
      } else {
        stillWaiting.push_back(entry);
      }
    }
    const std::size_t sendingBase = 2 + waiting.size();
    waiting.swap(stillWaiting);

    std::vector<Outgoing> stillSending;
    for (std::size_t i = 0; i < sending.size(); ++i) {
      Outgoing& out = sending[i];
      // Responses handed over since the poll began have no poll slot yet.
      const short events = i + sendingBase < polled.size() && polled[i + sendingBase].fd == out.fd
                               ? polled[i + sendingBase].revents
                               : 0;
      SendOutcome outcome = SendOutcome::Pending;
      if ((events & POLLOUT) != 0) {
        outcome = sendSome(out);
      } else if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        outcome = SendOutcome::Failed;
      }
      if (outcome == SendOutcome::Pending && now >= out.deadline) outcome = SendOutcome::Failed;
      if (outcome == SendOutcome::Pending) {
        stillSending.push_back(std::move(out));
      } else {
        finishConnection(out.fd, out.caller);
      }
    }
    sending.swap(stillSending);

    if (pollListener && (polled[1].revents & POLLIN) != 0) {
      if (!acceptClients(waiting, now, pausedUntil, result)) break;
    } else if (pollListener && (polled[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      std::lock_guard<std::mutex> guard(mutex_);
      if (!stopping_) result = Failure::ofErrno(EINVAL, "listening socket");
      break;
    }
  }
  for (const Waiting& entry : waiting) finishConnection(entry.fd, entry.caller);
  sendRestAndFinish(sending);
  return result;
}

bool SocketTransport::acceptClients(std::vector<Waiting>& waiting,
                                    std::chrono::steady_clock::time_point now,
                                    std::chrono::steady_clock::time_point& pausedUntil,
                                    Result<>& result) {
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (openConnections_ >= options_.maxConnections) return true;
    }
    int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        pausedUntil = now + options_.descriptorBackoff;
        return true;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      result = Failure::ofErrno(errno, "accept");
      return false;
    }
    CallerIdentity caller = peerIdentity(client);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (!connectionIsRoots(caller)) {
        std::size_t& mine = connectionsPerUid_[caller.uid];
        if (mine >= options_.maxConnectionsPerUid) {
          // Over this user's share: closed at once, so one user cannot crowd out the others.
          ::close(client);
          continue;
        }
        ++mine;
      }
      ++openConnections_;
    }
    waiting.push_back({client, now + options_.requestTimeout, caller});
  }
}

void SocketTransport::workerLoop(bool quickOnly) {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // Every worker takes quick requests first; the quick lane's own workers take nothing else.
      if (quickOnly) {
        quickJobReady_.wait(lock, [this] { return !quickJobs_.empty() || !serving_; });
      } else {
        jobReady_.wait(lock, [this] { return !quickJobs_.empty() || !jobs_.empty() || !serving_; });
      }
      std::deque<Job>& queue = !quickJobs_.empty() ? quickJobs_ : jobs_;
      if (queue.empty() || (quickOnly && &queue != &quickJobs_)) return;
      job = std::move(queue.front());
      queue.pop_front();
      ++busy_;
    }
    serveJob(job);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      --busy_;
      if (busy_ == 0 && jobs_.empty() && quickJobs_.empty()) drained_.notify_all();
    }
  }
}

SocketTransport::SendOutcome SocketTransport::sendSome(Outgoing& out) {
  while (out.offset < out.response.size()) {
    const std::size_t length = std::min(kMaxMessageBytes, out.response.size() - out.offset);
    const ssize_t sent =
        ::send(out.fd, out.response.data() + out.offset, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return SendOutcome::Pending;
      return SendOutcome::Failed;
    }
    out.offset += length;
  }
  return SendOutcome::Done;
}

void SocketTransport::keepConnection() { keepRequested = true; }

void SocketTransport::serveJob(Job& job) {
  Outgoing out{job.fd, job.caller, std::string(), 0, {}};
  keepRequested = false;
  try {
    out.response = handler_(job.request, job.caller);
  } catch (...) {
    out.response.clear();
  }
  if (std::exchange(keepRequested, false) && options_.connectionTaker) {
    // A kept connection's first answer is short and goes at once, or the connection is dropped.
    if (sendSome(out) != SendOutcome::Done) {
      finishConnection(out.fd, out.caller);
      return;
    }
    const CallerIdentity caller = out.caller;
    options_.connectionTaker(out.fd, caller, [this, caller] { forgetConnection(caller); });
    return;
  }
  // The deadline covers the whole response, from its first message on.
  out.deadline = std::chrono::steady_clock::now() + options_.responseTimeout;
  if (sendSome(out) != SendOutcome::Pending) {
    finishConnection(out.fd, out.caller);
    return;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  handedOver_.push_back(std::move(out));
  wakePoller();
}

void SocketTransport::sendRestAndFinish(std::vector<Outgoing>& outgoing) {
  for (Outgoing& out : outgoing) {
    sendSome(out);
    finishConnection(out.fd, out.caller);
  }
}

void SocketTransport::finishConnection(int fd, const CallerIdentity& caller) {
  // Closing a Unix socket with unread messages resets the peer, which would then lose the answer
  // still waiting in its queue; so discard what the client sent beyond its request first.
  ::shutdown(fd, SHUT_WR);
  char discard[256];
  for (int i = 0; i < 64 && ::recv(fd, discard, sizeof discard, MSG_DONTWAIT) > 0; ++i) {
  }
  ::close(fd);
  forgetConnection(caller);
}

void SocketTransport::forgetConnection(const CallerIdentity& caller) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (openConnections_ > 0) --openConnections_;
  if (!connectionIsRoots(caller)) {
    auto mine = connectionsPerUid_.find(caller.uid);
    if (mine != connectionsPerUid_.end() && --mine->second == 0) connectionsPerUid_.erase(mine);
  }
  wakePoller();
}

std::size_t SocketTransport::busyWorkers() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return busy_;
}

std::size_t SocketTransport::openConnections() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return openConnections_;
}

std::size_t SocketTransport::connectionCap() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return options_.maxConnections;
}

bool SocketTransport::leftWorkersRunning() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return workersLeftRunning_;
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
      wakePoller();
    }
    // Requests already read are answered; the wait is bounded so a stuck handler cannot hold
    // the stop forever.
    drainedInTime = drained_.wait_for(lock, options_.drainTimeout, [this] {
      return jobs_.empty() && quickJobs_.empty() && busy_ == 0;
    });
    serving_ = false;
    if (!drainedInTime) workersLeftRunning_ = true;
    jobReady_.notify_all();
    quickJobReady_.notify_all();
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
  std::vector<Outgoing> leftover;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!path_.empty()) {
      ::unlink(path_.c_str());
      path_.clear();
    }
    // Responses handed over after serve() ended: what the clients' queues still take goes out.
    if (drainedInTime) leftover.swap(handedOver_);
  }
  sendRestAndFinish(leftover);
}

}  // namespace norvid::platform
