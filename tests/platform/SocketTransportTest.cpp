#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/SocketClient.hpp"
#include "platform/SocketTransport.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid::platform {
namespace {

// A raw client connection, for the cases the normal client cannot produce.
class RawClient {
 public:
  explicit RawClient(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return connected_; }
  // True once the server has closed its end (looks without waiting).
  bool closedByServer() const {
    char byte;
    ssize_t n = ::recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  }
  // Reads one message; its size, 0 once closed.
  std::size_t readOne() {
    std::vector<char> buffer(256 * 1024);
    ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  void sendText(const std::string& text) { ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
  // Reads until the server closes; each message kept apart.
  std::vector<std::string> readAll() {
    std::vector<std::string> messages;
    std::vector<char> buffer(256 * 1024);
    for (;;) {
      ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      messages.emplace_back(buffer.data(), static_cast<std::size_t>(n));
    }
    return messages;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

class TransportFixture : public ::testing::Test {
 protected:
  void start(SocketTransport::RequestHandler handler, SocketTransport::Options options = {}) {
    transport_ = std::make_unique<SocketTransport>(options);
    ASSERT_TRUE(transport_->open(path_).ok());
    server_ = std::thread([this, handler] {
      const Result<> served = transport_->serve(handler);
      result_ = served ? 0 : served.failure().code;
    });
  }
  void TearDown() override {
    if (transport_) transport_->stop();
    if (server_.joinable()) server_.join();
  }

  norvid::testing::TempDir dir_;
  std::string path_ = (dir_.path() / "t.sock").string();
  std::unique_ptr<SocketTransport> transport_;
  std::thread server_;
  int result_ = -1;
};

SocketTransport::RequestHandler echo() {
  return [](const std::string& request, const CallerIdentity&) { return "echo:" + request; };
}

TEST_F(TransportFixture, AnswersRequestsUpTo4096BytesAndClosesLongerOnes) {
  start(echo());
  std::string exact(4096, 'a');
  EXPECT_EQ(sendRequest(path_, exact), "echo:" + exact);
  EXPECT_EQ(sendRequest(path_, std::string(4097, 'b')), "");
  EXPECT_EQ(sendRequest(path_, "after"), "echo:after");
}

TEST_F(TransportFixture, SendsLargeResponsesAsMessagesOfAtMost64KiB) {
  const std::string big(300 * 1024 + 7, 'z');
  start([&big](const std::string&, const CallerIdentity&) { return big; });
  RawClient client(path_);
  ASSERT_TRUE(client.connected());
  client.sendText("give");
  std::vector<std::string> messages = client.readAll();
  ASSERT_EQ(messages.size(), 5u);
  std::string joined;
  for (const std::string& message : messages) {
    EXPECT_LE(message.size(), SocketTransport::kMaxMessageBytes);
    joined += message;
  }
  EXPECT_EQ(joined, big);
}

TEST_F(TransportFixture, OnlyTheFirstMessageOfAConnectionIsAnswered) {
  start(echo());
  RawClient client(path_);
  client.sendText("one");
  client.sendText("two");
  std::vector<std::string> messages = client.readAll();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "echo:one");
}

TEST_F(TransportFixture, SilentAndIdleClientsNeitherBlockNorHoldWorkers) {
  SocketTransport::Options options;
  options.workers = 1;
  options.requestTimeout = std::chrono::milliseconds(300);
  start(echo(), options);
  {
    RawClient leaves(path_);  // connects and closes without writing
  }
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 50; ++i) idle.push_back(std::make_unique<RawClient>(path_));
  EXPECT_EQ(sendRequest(path_, "busy"), "echo:busy");
  // The idle connections are closed by the server once their time is up.
  for (auto& client : idle) EXPECT_TRUE(client->readAll().empty());
}

// Waits (bounded) until `done` holds; false if it never did.
bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

TEST_F(TransportFixture, AUserBeyondItsShareOfConnectionsIsClosedAtOnceAndRootIsNot) {
  SocketTransport::Options options;
  options.maxConnectionsPerUid = 4;
  options.requestTimeout = std::chrono::seconds(60);
  start(echo(), options);
  std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755));
  // Connections made on a thread that has become uid 65534 (the raw calls change that thread
  // only) are that user's.
  std::vector<std::unique_ptr<RawClient>> nobody;
  bool switched = false;
  std::thread([&] {
    switched = ::syscall(SYS_setresgid, 65534, 65534, 65534) == 0 &&
               ::syscall(SYS_setresuid, 65534, 65534, 65534) == 0;
    if (!switched) return;
    for (int i = 0; i < 7; ++i) {
      nobody.push_back(std::make_unique<RawClient>(path_));
      // One at a time, so that the first four are the ones kept.
      const std::size_t expected = std::min(i + 1, 4);
      eventually([&] { return transport_->openConnections() >= expected; });
    }
  }).join();
  if (!switched) GTEST_SKIP() << "cannot switch a thread to uid 65534 (needs root)";
  std::vector<std::unique_ptr<RawClient>> root;
  for (int i = 0; i < 6; ++i) root.push_back(std::make_unique<RawClient>(path_));
  for (std::size_t i = 4; i < nobody.size(); ++i) {
    EXPECT_TRUE(nobody[i]->readAll().empty()) << "closed without an answer";
  }
  EXPECT_TRUE(eventually([&] { return transport_->openConnections() == 10; }));
  for (std::size_t i = 0; i < 4; ++i) EXPECT_FALSE(nobody[i]->closedByServer()) << i;
  nobody[0]->sendText("kept");
  EXPECT_EQ(nobody[0]->readAll(), std::vector<std::string>{"echo:kept"});
  root[5]->sendText("root");
  EXPECT_EQ(root[5]->readAll(), std::vector<std::string>{"echo:root"});
}

// Runs `work` on a thread that has become uid 65534 (the raw calls change that thread only), so
// that the connections it makes are that user's. False when the process may not switch.
bool asNobody(const std::function<void()>& work) {
  bool switched = false;
  std::thread([&] {
    switched = ::syscall(SYS_setgroups, 0, nullptr) == 0 &&
               ::syscall(SYS_setresgid, 65534, 65534, 65534) == 0 &&
               ::syscall(SYS_setresuid, 65534, 65534, 65534) == 0;
    if (switched) work();
  }).join();
  return switched;
}

// A handler that holds every request named "hold" until release(), and echoes the others.
class HoldingHandler {
 public:
  SocketTransport::RequestHandler handler() {
    return [this](const std::string& request, const CallerIdentity&) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(request);
      }
      if (request.rfind("hold", 0) == 0) released_.wait();
      return "echo:" + request;
    };
  }
  void release() { release_.set_value(); }
  std::vector<std::string> seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
  std::mutex mutex_;
  std::vector<std::string> seen_;
};

// One user cannot hold the service: beyond its share of requests in flight it is told so at once,
// and root's requests find a worker of their own while every other worker is held.
TEST_F(TransportFixture, AUserBeyondItsShareOfRequestsIsToldSoAndRootStillFindsAWorker) {
  SocketTransport::Options options;
  options.workers = 2;
  options.rootWorkers = 1;
  options.maxRequestsPerUid = 2;
  options.busyResponse = "busy";
  HoldingHandler holding;
  start(holding.handler(), options);
  std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755));
  std::vector<std::unique_ptr<RawClient>> nobody;
  std::vector<std::string> beyond;
  const bool switched = asNobody([&] {
    for (int i = 0; i < 2; ++i) {
      nobody.push_back(std::make_unique<RawClient>(path_));
      nobody.back()->sendText("hold" + std::to_string(i));
    }
    eventually([&] { return transport_->requestsInFlight(65534) == 2; });
    RawClient third(path_);
    third.sendText("third");
    beyond = third.readAll();
  });
  if (!switched) GTEST_SKIP() << "cannot switch a thread to uid 65534 (needs root)";
  EXPECT_EQ(beyond, std::vector<std::string>{"busy"});
  EXPECT_TRUE(eventually([&] { return transport_->busyWorkers() == 2; }));
  // Both general workers are held by the other user; root's request takes the reserved one.
  EXPECT_EQ(sendRequest(path_, "root").value_or(""), "echo:root");
  holding.release();
  for (auto& client : nobody) EXPECT_EQ(client->readAll().size(), 1u);
  EXPECT_TRUE(eventually([&] { return transport_->requestsInFlight(65534) == 0; }));
  std::vector<std::string> after;
  asNobody([&] { after.push_back(sendRequest(path_, "again").value_or("")); });
  EXPECT_EQ(after, std::vector<std::string>{"echo:again"});
}

// A handler working for a client that hangs up learns so from its request's context, so that a
// long scan for no one can stop.
TEST_F(TransportFixture, AHandlerSeesItsClientHangUp) {
  auto seen = std::make_shared<std::promise<bool>>();
  start([seen](const std::string&, const RequestContext& context) {
    bool hungUp = false;
    for (int i = 0; i < 2000 && !hungUp; ++i) {
      hungUp = context.clientHungUp();
      if (!hungUp) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    seen->set_value(hungUp);
    return std::string("late");
  });
  {
    RawClient leaving(path_);
    leaving.sendText("long work");
    EXPECT_TRUE(eventually([&] { return transport_->busyWorkers() == 1; }));
  }
  // Bounded, so that a request dropped before any worker took it fails the test instead of
  // hanging it.
  std::future<bool> handled = seen->get_future();
  ASSERT_EQ(handled.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_TRUE(handled.get());
  EXPECT_EQ(transport_->hangUpsSeen(), 1u);
  EXPECT_TRUE(eventually([&] { return transport_->openConnections() == 0; }));
}

// A client that hangs up while its request waits for a worker gets no work done for it.
TEST_F(TransportFixture, ARequestWhoseClientHungUpBeforeAWorkerTookItIsDropped) {
  SocketTransport::Options options;
  options.workers = 1;
  options.rootWorkers = 0;
  HoldingHandler holding;
  start(holding.handler(), options);
  RawClient held(path_);
  held.sendText("hold");
  EXPECT_TRUE(eventually([&] { return transport_->busyWorkers() == 1; }));
  {
    RawClient leaving(path_);
    leaving.sendText("left");
    EXPECT_TRUE(eventually([&] { return transport_->openConnections() == 2; }));
  }
  // The hang-up is seen by the polling thread while the one worker is still held.
  EXPECT_TRUE(eventually([&] { return transport_->hangUpsSeen() == 1; }));
  holding.release();
  EXPECT_EQ(held.readAll(), std::vector<std::string>{"echo:hold"});
  EXPECT_EQ(sendRequest(path_, "after").value_or(""), "echo:after");
  EXPECT_EQ(holding.seen(), (std::vector<std::string>{"hold", "after"}));
}

TEST_F(TransportFixture, AResponseNotTakenWithinItsDeadlineIsCutHoweverTheClientPacesItsReads) {
  SocketTransport::Options options;
  options.workers = 1;
  options.responseTimeout = std::chrono::milliseconds(300);
  const std::string large(4 << 20, 'L');
  start([&](const std::string& request,
            const CallerIdentity&) { return request == "large" ? large : request; },
        options);
  RawClient slow(path_);
  slow.sendText("large");
  // One message every 100 ms: every read is progress, but the whole answer would take 6 s.
  std::size_t received = 0;
  std::size_t reads = 0;
  for (std::size_t got = slow.readOne(); got > 0; got = slow.readOne()) {
    received += got;
    if (++reads == 1) {
      // The one worker is free while the slow client holds its answer.
      EXPECT_EQ(sendRequest(path_, "fast"), "fast");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_LT(received, large.size());
  EXPECT_TRUE(eventually([&] { return transport_->openConnections() == 0; }));
}

TEST(SocketTransportTest, TheConnectionCapLeavesRoomForTheServicesOwnFiles) {
  EXPECT_EQ(SocketTransport::connectionCapForLimit(1024), 768u);
  EXPECT_EQ(SocketTransport::connectionCapForLimit(65536), 65280u);
  EXPECT_EQ(SocketTransport::connectionCapForLimit(256), 128u);
  EXPECT_EQ(SocketTransport::connectionCapForLimit(4), 2u);
}

TEST_F(TransportFixture, ASlowRequestDoesNotDelayAnother) {
  std::promise<void> fastAnswered;
  std::shared_future<void> released = fastAnswered.get_future().share();
  start([released](const std::string& request, const CallerIdentity&) {
    if (request == "slow") released.wait();
    return request;
  });
  auto slow = std::async(std::launch::async, [this] { return sendRequest(path_, "slow"); });
  EXPECT_EQ(sendRequest(path_, "fast"), "fast");
  fastAnswered.set_value();
  EXPECT_EQ(slow.get(), "slow");
}

TEST_F(TransportFixture, PassesThePeerCredentials) {
  start([](const std::string&, const CallerIdentity& caller) {
    return std::to_string(caller.known) + ":" + std::to_string(caller.uid) + ":" +
           std::to_string(caller.pid);
  });
  EXPECT_EQ(sendRequest(path_, "who"),
            "1:" + std::to_string(::getuid()) + ":" + std::to_string(::getpid()));
}

TEST_F(TransportFixture, StopAnswersTheRequestInService) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  start([&entered, released](const std::string& request, const CallerIdentity&) {
    entered.set_value();
    released.wait();
    return request;
  });
  auto pending = std::async(std::launch::async, [this] { return sendRequest(path_, "held"); });
  entered.get_future().wait();
  auto stopping = std::async(std::launch::async, [this] { transport_->stop(); });
  release.set_value();
  stopping.get();
  EXPECT_EQ(pending.get(), "held");
  server_.join();
  EXPECT_EQ(result_, 0);
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST(SocketTransportTest, StopRacingTheStartOfServeIsSafe) {
  norvid::testing::TempDir dir;
  const std::string path = (dir.path() / "race.sock").string();
  for (int round = 0; round < 50; ++round) {
    SocketTransport transport;
    ASSERT_TRUE(transport.open(path).ok());
    std::thread server([&transport] { transport.serve(echo()); });
    transport.stop();
    server.join();
  }
}

TEST(SocketTransportTest, ReplacesAStaleSocketButNotALiveOne) {
  norvid::testing::TempDir dir;
  std::string path = (dir.path() / "s.sock").string();
  {
    // A socket file left behind by a process that is gone.
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  SocketTransport first;
  EXPECT_TRUE(first.open(path).ok());
  SocketTransport second;
  EXPECT_EQ(second.open(path).failure().code, EADDRINUSE);

  std::string regular = dir.write("plain", "not a socket");
  SocketTransport third;
  EXPECT_EQ(third.open(regular).failure().code, EADDRINUSE);
  EXPECT_EQ(norvid::testing::readFile(regular), "not a socket");
}

}  // namespace
}  // namespace norvid::platform
