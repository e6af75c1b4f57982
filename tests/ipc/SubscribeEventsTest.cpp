// "subscribe_events" through the real socket: a root subscriber in the test, a uid-65534 one in a
// child process that forwards each message it receives over a pipe.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ipc/EventSubscriptions.hpp"
#include "logging/ServiceEvents.hpp"
#include "platform/ClientConnection.hpp"
#include "tests/ipc/CoreFixture.hpp"
#include "tests/support/LocalUser.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kMarkerRule =
    "rule Test_Marker { strings: $a = \"NORVID-TEST-MARKER\" condition: $a }\n";
constexpr std::uint32_t kNobody = 65534;
constexpr const char* kSubscribe = R"({"command":"subscribe_events"})";

// A subscriber as uid 65534 in a child process: every message it receives is written to a pipe
// with a line end. Only system calls after the fork (the test has threads).
class NobodySubscriber {
 public:
  explicit NobodySubscriber(const std::string& socketPath) {
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    child_ = ::fork();
    if (child_ == 0) {
      ::close(channel[0]);
      const gid_t none[1] = {kNobody};
      if (::setgroups(1, none) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
          ::setresuid(kNobody, kNobody, kNobody) != 0) {
        ::_exit(3);
      }
      const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
      if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
          ::send(fd, kSubscribe, std::strlen(kSubscribe), 0) < 0) {
        ::_exit(4);
      }
      static char buffer[70000];
      ssize_t length;
      while ((length = ::recv(fd, buffer, sizeof buffer - 1, 0)) > 0) {
        buffer[length] = '\n';
        if (::write(channel[1], buffer, static_cast<std::size_t>(length) + 1) < 0) break;
      }
      ::_exit(0);
    }
    ::close(channel[1]);
    output_ = channel[0];
  }
  ~NobodySubscriber() {
    if (child_ > 0) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
    }
    if (output_ >= 0) ::close(output_);
  }

  // The next message, or "" when none came within a generous wait.
  std::string next() {
    for (;;) {
      const std::size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      pollfd polled{output_, POLLIN, 0};
      if (::poll(&polled, 1, 30000) <= 0) return "";
      char buffer[4096];
      const ssize_t length = ::read(output_, buffer, sizeof buffer);
      if (length <= 0) return "";
      pending_.append(buffer, static_cast<std::size_t>(length));
    }
  }

 private:
  pid_t child_ = -1;
  int output_ = -1;
  std::string pending_;
};

class SubscribeEventsTest : public ::testing::Test {
 protected:
  SubscribeEventsTest() {
    fixture_.writeRule("marker.yar", kMarkerRule);
    fixture_.serve();
    // The events read owners from the file system; 65534 must reach the shared folder.
    fs::permissions(fixture_.root().path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  }

  // Waits until the hub holds `count` subscribers (a subscriber is taken just after its answer).
  bool waitForSubscribers(std::size_t count) {
    for (int i = 0; i < 3000; ++i) {
      if (fixture_.core().subscriptions().subscribers() == count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // A root subscriber whose answer has been read.
  platform::Result<platform::ClientConnection> subscribe() {
    auto connection = platform::ClientConnection::connectTo(fixture_.paths().socketPath);
    if (connection && connection->sendMessage(kSubscribe)) {
      auto answer = connection->receiveMessage(std::chrono::milliseconds(30000));
      EXPECT_TRUE(answer.ok() && answer->has_value() &&
                  json::parse(**answer).value("status", "") == "ok");
    }
    return connection;
  }

  std::string infected(const std::string& relative, std::uint32_t owner) {
    const std::string path = fixture_.root().write(relative, "xx NORVID-TEST-MARKER xx");
    EXPECT_EQ(::chown(path.c_str(), owner, owner), 0);
    return path;
  }
  json onAccess(const std::string& path) {
    return fixture_.call({{"command", "scan_realtime"}, {"path", path}});
  }

  testing::CoreFixture fixture_;
};

json nextEvent(platform::ClientConnection& connection) {
  auto message = connection.receiveMessage(std::chrono::milliseconds(30000));
  if (!message || !*message) return json();
  return json::parse(**message);
}

TEST_F(SubscribeEventsTest, EveryoneHearsOnlyWhatItMaySee) {
  auto root = platform::ClientConnection::connectTo(fixture_.paths().socketPath);
  ASSERT_TRUE(root.ok());
  ASSERT_TRUE(root->sendMessage(kSubscribe).ok());
  const json rootAnswer = nextEvent(*root);
  EXPECT_EQ(rootAnswer["status"], "ok");
  EXPECT_EQ(rootAnswer["scope"], "all");
  NobodySubscriber nobody(fixture_.paths().socketPath);
  const json nobodyAnswer = json::parse(nobody.next());
  EXPECT_EQ(nobodyAnswer["scope"], "own");
  ASSERT_TRUE(waitForSubscribers(2));

  fs::create_directories(fixture_.root().path() / "open");
  fs::create_directories(fixture_.root().path() / "closed");
  fs::permissions(fixture_.root().path() / "open", fs::perms(0755));
  fs::permissions(fixture_.root().path() / "closed", fs::perms(0700));
  const std::string mine = infected("open/mine.exe", kNobody);
  const std::string hidden = infected("closed/mine-but-hidden.exe", kNobody);
  const std::string roots = infected("open/roots.exe", 0);
  fs::create_directories(fixture_.root().path() / "open/tree");
  fs::permissions(fixture_.root().path() / "open/tree", fs::perms(0777));
  const std::string scanned = infected("open/tree/a.txt", 0);

  ASSERT_EQ(onAccess(mine)["quarantined"], true);
  ASSERT_EQ(onAccess(hidden)["quarantined"], true);
  ASSERT_EQ(onAccess(roots)["quarantined"], true);
  // A scan of its own: it hears the threat in a file it does not own, found by its own walk.
  const json own = json::parse(fixture_.core().processCommand(
      json{{"command", "scan"}, {"path", fs::path(scanned).parent_path().string()}}.dump(),
      testing::localUser(kNobody, kNobody)));
  ASSERT_EQ(own["threats_found"], 1);
  ServiceEvents::instance().rulesReloaded(1, CallerIdentity::service());

  // Root hears all of it, in order.
  const std::vector<std::pair<std::string, std::string>> everything = {
      {"threat_found", mine},    {"file_quarantined", mine},
      {"threat_found", hidden},  {"file_quarantined", hidden},
      {"threat_found", roots},   {"file_quarantined", roots},
      {"threat_found", scanned}, {"scan_finished", fs::path(scanned).parent_path().string()},
      {"rules_reloaded", ""}};
  for (const auto& [kind, path] : everything) {
    const json event = nextEvent(*root);
    EXPECT_EQ(event.value("event", ""), kind) << event.dump();
    EXPECT_EQ(event.value("path", ""), path) << event.dump();
  }
  // 65534 hears its own file and its own scan, nothing of the others: the rule reload that came
  // last is the next thing it hears.
  const std::vector<std::pair<std::string, std::string>> its = {
      {"threat_found", mine},
      {"file_quarantined", mine},
      {"threat_found", scanned},
      {"scan_finished", fs::path(scanned).parent_path().string()},
      {"rules_reloaded", ""}};
  for (const auto& [kind, path] : its) {
    const json event = json::parse(nobody.next());
    EXPECT_EQ(event.value("event", ""), kind) << event.dump();
    EXPECT_EQ(event.value("path", ""), path) << event.dump();
    if (kind == "file_quarantined") {
      EXPECT_EQ(event["uid"], kNobody);
    }
  }
}

TEST_F(SubscribeEventsTest, ASubscriberThatDoesNotReadIsDroppedWithoutHoldingAnyoneBack) {
  auto idle = platform::ClientConnection::connectTo(fixture_.paths().socketPath);
  ASSERT_TRUE(idle.ok());
  ASSERT_TRUE(idle->sendMessage(kSubscribe).ok());
  ASSERT_TRUE(waitForSubscribers(1));

  // Far more events than its queue and its socket hold; publishing never waits for it.
  constexpr int kEvents = 20000;
  for (int i = 0; i < kEvents; ++i) {
    ServiceEvents::instance().threatFound("scan", "/nowhere/" + std::to_string(i), "EICAR",
                                          CallerIdentity::service());
  }
  ASSERT_TRUE(waitForSubscribers(0));
  // A scan goes on as usual meanwhile.
  const std::string bad = infected("late.txt", 0);
  EXPECT_EQ(fixture_.call({{"command", "scan"}, {"path", bad}})["threats_found"], 1);

  // It gets what was already on its way, then the end of the stream.
  int received = 0;
  for (;;) {
    auto message = idle->receiveMessage(std::chrono::milliseconds(30000));
    ASSERT_TRUE(message.ok());
    if (!*message) break;
    ++received;
  }
  EXPECT_GT(received, 1);
  EXPECT_LT(received, kEvents);

  // The connection no longer counts, and the subscriber may come back.
  auto again = subscribe();
  ASSERT_TRUE(again.ok());
  ASSERT_TRUE(waitForSubscribers(1));
  ServiceEvents::instance().rulesReloaded(2, CallerIdentity::service());
  EXPECT_EQ(nextEvent(*again)["event"], "rules_reloaded");
}

TEST_F(SubscribeEventsTest, AProgramStartHeldOnAThreatIsAnnouncedOnlyWhenRootAsked) {
  auto root = subscribe();
  ASSERT_TRUE(root.ok());
  NobodySubscriber nobody(fixture_.paths().socketPath);
  EXPECT_EQ(json::parse(nobody.next())["scope"], "own");
  ASSERT_TRUE(waitForSubscribers(2));
  fs::create_directories(fixture_.root().path() / "bin");
  fs::permissions(fixture_.root().path() / "bin", fs::perms(0777));
  const std::string watched = infected("bin/tool", kNobody);
  const std::string claimed = infected("bin/other", kNobody);

  // The watcher (root) holds a start of its program on this scan: the owner hears of the block,
  // with the owner read before the file went to quarantine.
  const json held =
      fixture_.call({{"command", "scan_realtime"}, {"path", watched}, {"program_start", true}});
  EXPECT_EQ(held["status"], "threat");
  EXPECT_EQ(held["quarantined"], true);
  // Anyone else saying so is scanned as usual, and nothing is announced.
  const json fake = json::parse(fixture_.core().processCommand(
      json{{"command", "scan_realtime"}, {"path", claimed}, {"program_start", true}}.dump(),
      testing::localUser(kNobody, kNobody)));
  EXPECT_EQ(fake["status"], "threat");
  // Not a flag: refused.
  EXPECT_EQ(fixture_.call({{"command", "scan_realtime"}, {"path", claimed}, {"program_start", 1}})
                .value("error", ""),
            "Field 'program_start' must be true or false");
  ServiceEvents::instance().rulesReloaded(1, CallerIdentity::service());

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"threat_found", watched}, {"file_quarantined", watched}, {"program_blocked", watched},
      {"threat_found", claimed}, {"file_quarantined", claimed}, {"rules_reloaded", ""}};
  for (const auto& [kind, path] : expected) {
    const json event = nextEvent(*root);
    EXPECT_EQ(event.value("event", ""), kind) << event.dump();
    EXPECT_EQ(event.value("path", ""), path) << event.dump();
    if (kind == "program_blocked") {
      EXPECT_EQ(event["uid"], kNobody);
      EXPECT_EQ(event["threat"], "Test_Marker");
      EXPECT_EQ(event["command"], "onaccess");
    }
  }
  for (const auto& [kind, path] : expected) {
    const json event = json::parse(nobody.next());
    EXPECT_EQ(event.value("event", ""), kind) << event.dump();
    EXPECT_EQ(event.value("path", ""), path) << event.dump();
  }
}

// How many messages of `length` bytes a connected SOCK_SEQPACKET socket takes before a sender
// would wait: what the service's socket holds for a subscriber that does not read.
std::size_t socketHolds(std::size_t length) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  const std::string message(length, 'x');
  std::size_t held = 0;
  while (::send(pair[0], message.data(), message.size(), MSG_NOSIGNAL) > 0) ++held;
  ::close(pair[0]);
  ::close(pair[1]);
  return held;
}

std::string numbered(std::size_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "/nowhere/%06zu", index);
  return name;
}

TEST_F(SubscribeEventsTest, ASlowReaderIsToldHowManyEventsItLostAndHearsWhatFollows) {
  auto slow = subscribe();
  ASSERT_TRUE(slow.ok());
  ASSERT_TRUE(waitForSubscribers(1));
  auto publish = [](std::size_t index) {
    ServiceEvents::instance().threatFound("scan", numbered(index), "EICAR",
                                          CallerIdentity::service());
  };
  // Event 0 shows how long each message is; every path has the same length.
  publish(0);
  auto first = slow->receiveMessage(std::chrono::milliseconds(30000));
  ASSERT_TRUE(first.ok() && first->has_value());
  ASSERT_EQ(json::parse(**first)["path"], numbered(0));

  // While it does not read: the socket fills, then its queue, then some are lost, well short of
  // the queue's worth that would drop it.
  const std::size_t capacity = EventSubscriptions::kQueueCapacity;
  const std::size_t burst = socketHolds((*first)->size()) + capacity + capacity / 2;
  for (std::size_t i = 1; i <= burst; ++i) publish(i);
  ASSERT_EQ(fixture_.core().subscriptions().subscribers(), 1u);

  // Then it reads everything. The "lost" notices come just before the next event it hears and
  // count exactly the events missing in between (two in a row when the event after a notice
  // found the queue full again). Once it has read all that was kept, a later
  // event reaches it after the notice (published again while it may still meet a full queue).
  std::size_t published = burst;
  std::size_t expected = 1;
  std::uint64_t lostInAll = 0;
  int laterEvents = 0;
  for (;;) {
    auto message = slow->receiveMessage(std::chrono::milliseconds(500));
    if (!message.ok()) {
      // Nothing more for now: what was kept has been read.
      ASSERT_LT(laterEvents, 50) << "the later events never arrived";
      publish(++published);
      ++laterEvents;
      continue;
    }
    ASSERT_TRUE(message->has_value()) << "the slow reader was dropped";
    const json event = json::parse(**message);
    if (event["event"] == "lost") {
      const std::uint64_t lost = event["lost"].get<std::uint64_t>();
      EXPECT_GT(lost, 0u);
      EXPECT_LT(lost, capacity);
      expected += lost;
      lostInAll += lost;
      continue;
    }
    ASSERT_EQ(event["event"], "threat_found") << event.dump();
    ASSERT_EQ(event["path"], numbered(expected)) << "after " << lostInAll << " lost";
    if (expected++ == published && published > burst) break;
  }
  // Everything published was either heard or counted as lost, and some were lost.
  EXPECT_EQ(expected, published + 1);
  EXPECT_GT(lostInAll, 0u);
  EXPECT_EQ(fixture_.core().subscriptions().subscribers(), 1u);
}

TEST_F(SubscribeEventsTest, TheServiceStoppingEndsEveryStream) {
  auto subscriber = subscribe();
  ASSERT_TRUE(subscriber.ok());
  ASSERT_TRUE(waitForSubscribers(1));
  fixture_.core().stop();
  auto end = subscriber->receiveMessage(std::chrono::milliseconds(30000));
  ASSERT_TRUE(end.ok());
  EXPECT_FALSE(end->has_value());
}

}  // namespace
}  // namespace norvid
