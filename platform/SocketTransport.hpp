#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileHandle.hpp"
#include "platform/RequestContext.hpp"
#include "platform/RequestQueues.hpp"
#include "platform/SystemError.hpp"

struct pollfd;

namespace norvid::platform {

// The local request socket: a SOCK_SEQPACKET Unix socket, mode 0666. Each connection carries one
// request message (at most 4096 bytes) and gets one response, sent as messages of at most 64 KiB,
// after which the connection is closed. One thread (the caller of serve) accepts connections and
// waits for their requests with poll, so idle clients hold no worker; complete requests go to a
// bounded pool of workers, and excess requests wait in order in queues (root's ahead of other
// users'). A response the client does not take at once is sent on by the same polling thread, so a
// slow reader holds no worker either, and a connection whose response is not taken within
// responseTimeout is closed.
//
// No one user can hold the service: a user other than root has at most maxRequestsPerUid requests
// in flight (one more is answered with busyResponse at once), and root's requests have workers of
// their own. While a request is in flight the polling thread watches its connection, and when the
// client hangs up it raises the request's hang-up flag, which the handler reads to give up work
// no one will receive; a request whose client left before a worker took it is dropped unserved.
class SocketTransport {
 public:
  using RequestHandler =
      std::function<std::string(const std::string& request, const RequestContext& context)>;
  // Takes a connection that stays open after its response (see keepConnection): the taker owns
  // `fd` from then on and calls `release` once, after closing it; until then the connection
  // counts toward the caps.
  using ConnectionTaker =
      std::function<void(int fd, const CallerIdentity& caller, std::function<void()> release)>;

  struct Options {
    std::size_t workers = 64;
    // Requests this predicate calls quick (short work that must never wait behind long work, such
    // as a status query) go ahead of the others and have `quickWorkers` more workers of their own.
    // It runs on the polling thread, so it must be cheap.
    std::function<bool(const std::string& request)> quickRequest;
    std::size_t quickWorkers = 4;
    // Workers that take only root's requests (root's quick ones first), beyond `workers`, so that
    // root (the on-access watcher, the administrator) finds one whatever other users keep busy.
    std::size_t rootWorkers = 4;
    // Requests at most that one user other than root has in flight, queued or in service; 0:
    // an eighth of `workers` (at least 1). A request beyond it is answered with busyResponse at
    // once (closed unanswered when that is empty) and never queued.
    std::size_t maxRequestsPerUid = 0;
    std::string busyResponse;
    // A connection that has not sent its request by then is closed.
    std::chrono::milliseconds requestTimeout{10000};
    // Open connections at most (waiting, queued, in service and sending); beyond it new clients
    // wait in the kernel's backlog until one closes. 0: derived from the descriptor limit at
    // open(), leaving room for the service's own files (see connectionCapForLimit).
    std::size_t maxConnections = 0;
    // Open connections at most per user other than root; more are closed at once, unanswered.
    std::size_t maxConnectionsPerUid = 64;
    // How long a client has to take its whole response, however it paces its reads.
    std::chrono::milliseconds responseTimeout{10000};
    // How long accepting pauses when the process or the system is out of descriptors.
    std::chrono::milliseconds descriptorBackoff{100};
    // How long stop() waits for the requests in service to finish; short enough that a stop
    // always ends well within the 15 seconds a service manager allows.
    std::chrono::milliseconds drainTimeout{10000};
    // Where kept connections go; without it every connection is closed after its response.
    ConnectionTaker connectionTaker;
  };

  static constexpr std::size_t kMaxRequestBytes = 4096;
  static constexpr std::size_t kMaxMessageBytes = 64 * 1024;

  SocketTransport();
  explicit SocketTransport(Options options);
  ~SocketTransport();
  SocketTransport(const SocketTransport&) = delete;
  SocketTransport& operator=(const SocketTransport&) = delete;

  // The connection cap for a descriptor limit: the limit less what the service keeps for its own
  // files (rules, scanned files, archives, logs, the stores).
  static std::size_t connectionCapForLimit(std::uint64_t descriptorLimit);

  // Creates the listening socket at `path`. Raises the soft descriptor limit to the hard one
  // first and derives the connection cap from it when the options leave it at 0. A stale socket
  // file that nobody answers on is replaced; a live one is left alone and fails with EADDRINUSE.
  Result<> open(const std::string& path);

  // Serves `fd`, a listening socket that someone else created (the service manager's socket
  // activation), instead of creating one. The transport takes the descriptor; it neither shuts
  // the socket down nor removes its file, so the creator can hand it on.
  Result<> adopt(int fd);

  // Accepts and serves until stop(). Works after a stop; fails with the failure that ended the
  // accepting.
  Result<> serve(RequestHandler handler);

  // Ends serve(): closes the listening socket and the connections still waiting for their
  // request, lets the workers finish what they hold (bounded by drainTimeout) and joins them.
  // Safe to call from any thread other than serve()'s, more than once.
  void stop();

  // Called by a request handler on its worker thread: once its response has been sent, the
  // connection goes to the options' connectionTaker instead of being closed.
  static void keepConnection();

  // Number of requests being handled right now.
  std::size_t busyWorkers() const;
  // Number of requests of `uid` in flight (queued or in service) right now.
  std::size_t requestsInFlight(std::uint32_t uid) const;
  // Number of requests whose client was seen hanging up while they were in flight, so far.
  std::size_t hangUpsSeen() const;
  // The cap on one user's requests in flight in force.
  std::size_t requestCapPerUid() const { return options_.maxRequestsPerUid; }

  // True when the last stop() left workers still running a request after the drain: they go on
  // using this transport and its handler, so neither may be destroyed while the process lives.
  bool leftWorkersRunning() const;
  // Number of connections open right now, and the cap in force.
  std::size_t openConnections() const;
  std::size_t connectionCap() const;

 private:
  struct Job {
    int fd;
    std::string request;
    CallerIdentity caller;
    // The descriptor the client passed with its request, if any.
    FileHandle passed;
    // Names the request among those in flight (see inFlight_).
    std::uint64_t id = 0;
    std::shared_ptr<std::atomic<bool>> hungUp;
  };
  using Queues = RequestQueues<Job>;
  // A request in flight whose connection the polling thread watches for the client's hang-up.
  struct Watched {
    int fd;
    std::shared_ptr<std::atomic<bool>> hungUp;
  };
  struct Waiting {
    int fd;
    std::chrono::steady_clock::time_point deadline;
    CallerIdentity caller;
  };
  // A response on its way out: the messages from `offset` on are still to be sent.
  struct Outgoing {
    int fd;
    CallerIdentity caller;
    std::string response;
    std::size_t offset;
    std::chrono::steady_clock::time_point deadline;
  };
  enum class SendOutcome { Done, Pending, Failed };

  // Serves `fd` from now on, woken through the pipe `wake`; derives the connection cap from
  // `descriptorLimit` when the options leave it at 0. REQUIRES: mutex_ held.
  void takeListener(int fd, const int (&wake)[2], std::uint64_t descriptorLimit);
  // Wakes the polling thread from its poll. REQUIRES: mutex_ held.
  void wakePoller();
  // REQUIRES: mutex_ held.
  void startWorkers();
  void workerLoop(Queues::Taker taker);
  // Counts `job` as in flight, watches its connection and queues it; false (nothing done) when
  // its user already has its share in flight. REQUIRES: mutex_ held.
  bool admit(Job& job, bool quick);
  // Ends the flight of `job`: no longer watched nor counted. REQUIRES: mutex_ held.
  void land(const Job& job);
  // Wakes a worker for each kind of taker that has work waiting. REQUIRES: mutex_ held.
  void wakeWorkers();
  // Raises the hang-up flag of the watched requests whose connection `polled` reports closed by
  // the client, and stops watching them. `ids` names the request of each entry of `polled`.
  void noteHangUps(const std::vector<std::uint64_t>& ids, const pollfd* polled);
  void serveJob(Job& job);
  // Sends as many whole messages as the socket takes without waiting.
  static SendOutcome sendSome(Outgoing& out);
  // Accepts what the listening socket holds; false when accepting failed for good (`result`).
  bool acceptClients(std::vector<Waiting>& waiting, std::chrono::steady_clock::time_point now,
                     std::chrono::steady_clock::time_point& pausedUntil, Result<>& result);
  void finishConnection(int fd, const CallerIdentity& caller);
  // Takes a closed connection out of the counts.
  void forgetConnection(const CallerIdentity& caller);
  // Sends what each client's queue still takes without waiting, then closes the connections.
  void sendRestAndFinish(std::vector<Outgoing>& outgoing);
  enum class ReadOutcome { Complete, NotYet, Refused };
  // Reads the request message and the one descriptor it may carry; further descriptors are closed.
  ReadOutcome readRequest(int fd, std::string& request, FileHandle& passed);

  Options options_;
  std::string path_;
  int listenFd_ = -1;
  bool adopted_ = false;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  bool stopping_ = false;

  RequestHandler handler_;
  std::vector<std::thread> workers_;
  mutable std::mutex mutex_;
  // One per kind of taker, so that a new request wakes a worker that will take it.
  std::condition_variable anyReady_;
  std::condition_variable quickReady_;
  std::condition_variable rootReady_;
  std::condition_variable drained_;
  Queues queues_;
  std::map<std::uint64_t, Watched> inFlight_;
  std::uint64_t nextRequestId_ = 0;
  std::map<std::uint32_t, std::size_t> requestsPerUid_;
  std::size_t hangUps_ = 0;
  // Responses the workers could not send at once, for the polling thread to carry on.
  std::vector<Outgoing> handedOver_;
  std::size_t busy_ = 0;
  std::size_t openConnections_ = 0;
  std::map<std::uint32_t, std::size_t> connectionsPerUid_;
  bool serving_ = false;
  bool workersLeftRunning_ = false;
};

}  // namespace norvid::platform
