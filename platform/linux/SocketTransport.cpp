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
#include <optional>
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

SocketTransport::SocketTransport(Options options) : options_(std::move(options)) {
  if (options_.workers == 0) options_.workers = 1;
  if (options_.maxRequestsPerUid == 0) {
    options_.maxRequestsPerUid = std::max<std::size_t>(1, options_.workers / 8);
  }
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
  workers_.reserve(options_.workers + quick + options_.rootWorkers);
  for (std::size_t i = 0; i < options_.workers; ++i) {
    workers_.emplace_back([this] { workerLoop(Queues::Taker::Any); });
  }
  for (std::size_t i = 0; i < quick; ++i) {
    workers_.emplace_back([this] { workerLoop(Queues::Taker::QuickOnly); });
  }
  for (std::size_t i = 0; i < options_.rootWorkers; ++i) {
    workers_.emplace_back([this] { workerLoop(Queues::Taker::RootOnly); });
  }
}

bool SocketTransport::admit(Job& job, bool quick) {
  const bool fromRoot = connectionIsRoots(job.caller);
  if (!fromRoot) {
    std::size_t& mine = requestsPerUid_[job.caller.uid];
    if (mine >= options_.maxRequestsPerUid) return false;
    ++mine;
  }
  job.id = ++nextRequestId_;
  job.hungUp = std::make_shared<std::atomic<bool>>(false);
  inFlight_[job.id] = Watched{job.fd, job.hungUp};
  queues_.push(std::move(job), quick, fromRoot);
  wakeWorkers();
  return true;
}

void SocketTransport::land(const Job& job) {
  inFlight_.erase(job.id);
  if (connectionIsRoots(job.caller)) return;
  auto mine = requestsPerUid_.find(job.caller.uid);
  if (mine != requestsPerUid_.end() && --mine->second == 0) requestsPerUid_.erase(mine);
}

void SocketTransport::wakeWorkers() {
  if (queues_.hasWorkFor(Queues::Taker::Any)) anyReady_.notify_one();
  if (queues_.hasWorkFor(Queues::Taker::QuickOnly)) quickReady_.notify_one();
  if (queues_.hasWorkFor(Queues::Taker::RootOnly)) rootReady_.notify_one();
}

void SocketTransport::noteHangUps(const std::vector<std::uint64_t>& ids, const pollfd* polled) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if ((polled[i].revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) continue;
    // A request that landed since the poll began may have closed its descriptor, and the number
    // may name another file by now: only a request still in flight held it throughout.
    auto watched = inFlight_.find(ids[i]);
    if (watched == inFlight_.end()) continue;
    watched->second.hungUp->store(true);
    inFlight_.erase(watched);
    ++hangUps_;
  }
}

SocketTransport::ReadOutcome SocketTransport::readRequest(int fd, std::string& request,
                                                          FileHandle& passed) {
  char buffer[kMaxRequestBytes + 1];
  // Room for a few descriptors, so that a client sending more than one loses them all to close()
  // here rather than leaving them in the service.
  constexpr std::size_t kDescriptorRoom = 8;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kDescriptorRoom)];
  ssize_t received;
  msghdr message{};
  iovec part{buffer, sizeof buffer};
  do {
    message = msghdr{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    // MSG_TRUNC makes recvmsg report the whole message length, so an oversized request is seen as
    // such instead of being cut to the buffer.
    received = ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
  } while (received < 0 && errno == EINTR);
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadOutcome::NotYet;
  if (received >= 0) {
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
      const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int descriptor;
        std::memcpy(&descriptor, CMSG_DATA(header) + i * sizeof(int), sizeof descriptor);
        if (!passed.isOpen()) {
          passed = FileHandle(descriptor);
        } else {
          ::close(descriptor);
        }
      }
    }
  }
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
  std::vector<std::uint64_t> watchedIds;
  std::vector<int> watchedFds;
  std::vector<Outgoing> busyAnswers;
  for (;;) {
    bool acceptMore;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (stopping_) break;
      acceptMore = openConnections_ < options_.maxConnections;
      for (Outgoing& out : handedOver_) sending.push_back(std::move(out));
      handedOver_.clear();
      watchedIds.clear();
      watchedFds.clear();
      for (const auto& [id, watched] : inFlight_) {
        watchedIds.push_back(id);
        watchedFds.push_back(watched.fd);
      }
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
    // Requests in flight: no event asked for, so only a hang-up (POLLHUP, the client closed its
    // end) or an error is reported; a client that sends more without waiting never wakes us.
    const std::size_t watchedBase = polled.size();
    for (int fd : watchedFds) polled.push_back({fd, 0, 0});
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
        Job job{entry.fd, std::string(), entry.caller, FileHandle(), 0, nullptr};
        ReadOutcome outcome = readRequest(entry.fd, job.request, job.passed);
        if (outcome == ReadOutcome::Complete) {
          const bool quick = options_.quickRequest && options_.quickRequest(job.request);
          bool admitted;
          {
            std::lock_guard<std::mutex> guard(mutex_);
            admitted = admit(job, quick);
          }
          if (!admitted) {
            // Beyond the user's share: told so at once, from this thread, never queued.
            busyAnswers.push_back(
                {entry.fd, entry.caller, options_.busyResponse, 0, now + options_.responseTimeout});
          }
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
    noteHangUps(watchedIds, polled.data() + watchedBase);

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
    for (Outgoing& out : busyAnswers) {
      if (sendSome(out) == SendOutcome::Pending) {
        sending.push_back(std::move(out));
      } else {
        finishConnection(out.fd, out.caller);
      }
    }
    busyAnswers.clear();

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

void SocketTransport::workerLoop(Queues::Taker taker) {
  std::condition_variable& ready = taker == Queues::Taker::QuickOnly  ? quickReady_
                                   : taker == Queues::Taker::RootOnly ? rootReady_
                                                                      : anyReady_;
  for (;;) {
    std::optional<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready.wait(lock, [&] { return queues_.hasWorkFor(taker) || !serving_; });
      job = queues_.take(taker);
      if (!job) return;
      ++busy_;
      // More waiting than this worker takes: pass the word on.
      wakeWorkers();
    }
    serveJob(*job);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      --busy_;
      if (busy_ == 0 && queues_.empty()) drained_.notify_all();
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
  // A client that left while its request waited gets no work done for it.
  if (!job.hungUp->load()) {
    try {
      RequestContext context(job.caller);
      context.passedDescriptor = job.passed.descriptor();
      context.hungUp = job.hungUp;
      out.response = handler_(job.request, context);
    } catch (...) {
      out.response.clear();
    }
  }
  {
    std::lock_guard<std::mutex> guard(mutex_);
    land(job);
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

std::size_t SocketTransport::requestsInFlight(std::uint32_t uid) const {
  std::lock_guard<std::mutex> guard(mutex_);
  auto found = requestsPerUid_.find(uid);
  return found != requestsPerUid_.end() ? found->second : 0;
}

std::size_t SocketTransport::hangUpsSeen() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return hangUps_;
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
    drainedInTime = drained_.wait_for(lock, options_.drainTimeout,
                                      [this] { return queues_.empty() && busy_ == 0; });
    serving_ = false;
    if (!drainedInTime) workersLeftRunning_ = true;
    anyReady_.notify_all();
    quickReady_.notify_all();
    rootReady_.notify_all();
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
