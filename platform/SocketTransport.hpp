#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/CallerIdentity.hpp"

namespace norvid::platform {

// The local request socket: a SOCK_SEQPACKET Unix socket, mode 0666. Each connection carries one
// request message (at most 4096 bytes) and gets one response, sent as messages of at most 64 KiB,
// after which the connection is closed. One thread (the caller of serve) accepts connections and
// waits for their requests with poll, so idle clients hold no worker; complete requests go to a
// bounded pool of workers, and excess requests wait in order in a queue.
class SocketTransport {
 public:
  using RequestHandler =
      std::function<std::string(const std::string& request, const CallerIdentity& caller)>;

  struct Options {
    std::size_t workers = 64;
    // A connection that has not sent its request by then is closed.
    std::chrono::milliseconds requestTimeout{10000};
    // Open connections at most (waiting, queued and in service); beyond it new clients wait in
    // the kernel's backlog until one closes.
    std::size_t maxConnections = 4096;
    // How long stop() waits for the requests in service to finish.
    std::chrono::milliseconds drainTimeout{30000};
  };

  static constexpr std::size_t kMaxRequestBytes = 4096;
  static constexpr std::size_t kMaxMessageBytes = 64 * 1024;

  SocketTransport();
  explicit SocketTransport(Options options);
  ~SocketTransport();
  SocketTransport(const SocketTransport&) = delete;
  SocketTransport& operator=(const SocketTransport&) = delete;

  // Creates the listening socket at `path`. A stale socket file that nobody answers on is
  // replaced; a live one is left alone and EADDRINUSE returned. Returns 0 or the errno.
  int open(const std::string& path);

  // Serves `fd`, a listening socket that someone else created (the service manager's socket
  // activation), instead of creating one. The transport takes the descriptor; it neither shuts
  // the socket down nor removes its file, so the creator can hand it on. Returns 0 or the errno.
  int adopt(int fd);

  // Accepts and serves until stop(). Returns 0 after a stop, or the errno of a failure that
  // ended the accepting.
  int serve(RequestHandler handler);

  // Ends serve(): closes the listening socket and the connections still waiting for their
  // request, lets the workers finish what they hold (bounded by drainTimeout) and joins them.
  // Safe to call from any thread other than serve()'s, more than once.
  void stop();

  // Number of requests being handled right now.
  std::size_t busyWorkers() const;

 private:
  struct Job {
    int fd;
    std::string request;
    CallerIdentity caller;
  };
  struct Waiting {
    int fd;
    std::chrono::steady_clock::time_point deadline;
  };

  // REQUIRES: mutex_ held.
  void startWorkers();
  void workerLoop();
  void serveJob(const Job& job);
  void finishConnection(int fd);
  enum class ReadOutcome { Complete, NotYet, Refused };
  ReadOutcome readRequest(int fd, std::string& request);

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
  std::condition_variable jobReady_;
  std::condition_variable drained_;
  std::deque<Job> jobs_;
  std::size_t busy_ = 0;
  std::size_t openConnections_ = 0;
  bool serving_ = false;
};

}  // namespace norvid::platform
