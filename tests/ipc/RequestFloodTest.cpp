#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ClientConnection.hpp"
#include "tests/ipc/CoreFixture.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using platform::ClientConnection;

// The entropy of every prefix of the file: about ten milliseconds for each file below, so each
// scan of the tree takes seconds of one core.
const char* const kSlowRule =
    "import \"math\"\n"
    "rule Slow_Test { condition: for any i in (0..filesize - 1) : "
    "(math.entropy(0, i + 1) > 100.0) }\n";
constexpr int kTreeFiles = 400;
constexpr int kFlood = 64;
constexpr std::uint32_t kNobody = 65534;
// Far beyond what any answer below needs, so a fault fails the test instead of hanging it.
constexpr std::chrono::seconds kAnswerBound{20};

// Deterministic text files of 4,000 bytes.
std::string makeTree(const testing::TempDir& root, const std::string& name) {
  std::uint32_t state = 7;
  for (int i = 0; i < kTreeFiles; ++i) {
    std::string content(4000, ' ');
    for (char& c : content) {
      state = state * 1664525u + 1013904223u;
      c = "abcdefghij0123 .,"[(state >> 16) % 17];
    }
    root.write(name + "/d" + std::to_string(i % 8) + "/f" + std::to_string(i) + ".txt", content);
  }
  return (root.path() / name).string();
}

// Runs `work` on a thread that has become uid 65534 (the raw calls change that thread only), so
// that the connections it makes are that user's. False when the process may not switch.
bool asNobody(const std::function<void()>& work) {
  bool switched = false;
  std::thread([&] {
    switched = ::syscall(SYS_setgroups, 0, nullptr) == 0 &&
               ::syscall(SYS_setresgid, kNobody, kNobody, kNobody) == 0 &&
               ::syscall(SYS_setresuid, kNobody, kNobody, kNobody) == 0;
    if (switched) work();
  }).join();
  return switched;
}

std::optional<json> ask(const std::string& socket, const json& request) {
  auto connection = ClientConnection::connectTo(socket);
  if (!connection || !connection->sendMessage(request.dump())) return std::nullopt;
  auto answer = connection->receiveUntilClosed(kAnswerBound);
  if (!answer) return std::nullopt;
  return json::parse(*answer, nullptr, false);
}

// The scans of uid 65534 that list_scans (asked as root) shows; -1 when it got no answer.
int nobodysScans(const std::string& socket) {
  const std::optional<json> list = ask(socket, {{"command", "list_scans"}});
  if (!list || !list->contains("scans")) return -1;
  int scans = 0;
  for (const json& record : list->at("scans")) scans += record.value("uid", 0u) == kNobody;
  return scans;
}

// One user opens 64 connections, each a scan of a large tree. It gets its share of scans and is
// told at once that the rest are too many; root's on-access scan of a small file and its
// list_scans are answered while the share runs; and once the user hangs up its scans stop at
// their next file.
TEST(RequestFloodTest, OneUserCannotHoldTheServiceAndItsScansEndWhenItHangsUp) {
  testing::CoreFixture fixture;
  fixture.writeRule("slow.yar", kSlowRule);
  fixture.serve();
  fs::permissions(fixture.root().path(), fs::perms(0755));
  const std::string tree = makeTree(fixture.root(), "tree");
  // Every connection scans the tree under a name of its own, so no scan reuses another's verdicts.
  for (int i = 0; i < kFlood; ++i) {
    fs::create_directory_symlink(tree, fixture.root().path() / ("view" + std::to_string(i)));
  }
  const std::string small = fixture.root().write("small/six.txt", "sixbyt");
  const std::string socket = fixture.paths().socketPath;

  std::vector<ClientConnection> flood;
  const bool switched = asNobody([&] {
    for (int i = 0; i < kFlood; ++i) {
      auto connection = ClientConnection::connectTo(socket);
      if (!connection) continue;
      const std::string view = (fixture.root().path() / ("view" + std::to_string(i))).string();
      if (connection->sendMessage(json{{"command", "scan"}, {"path", view}}.dump())) {
        flood.push_back(std::move(*connection));
      }
    }
  });
  if (!switched) GTEST_SKIP() << "cannot switch a thread to uid 65534 (needs root)";
  ASSERT_EQ(flood.size(), static_cast<std::size_t>(kFlood));

  // The requests beyond the user's share are answered at once; the share's scans run on. Its
  // share is an eighth of the service's 64 workers.
  std::vector<ClientConnection> running;
  std::vector<bool> answered(flood.size(), false);
  int refused = 0;
  // Rounds until the refusals are all in (a busy machine may take a while to send them); a scan
  // of the share gives no answer meanwhile.
  for (int round = 0; round < 20 && refused < kFlood - 8; ++round) {
    for (std::size_t i = 0; i < flood.size(); ++i) {
      if (answered[i]) continue;
      auto answer = flood[i].receiveUntilClosed(std::chrono::milliseconds(50));
      if (!answer) continue;
      answered[i] = true;
      EXPECT_EQ(
          *answer,
          R"({"error":"Demasiadas solicitudes en curso para este usuario","status":"error"})");
      ++refused;
    }
  }
  for (std::size_t i = 0; i < flood.size(); ++i) {
    if (!answered[i]) running.push_back(std::move(flood[i]));
  }
  EXPECT_EQ(running.size(), 8u);
  EXPECT_EQ(refused, kFlood - 8);

  // Root is answered while the user's scans run.
  const std::optional<json> realtime = ask(socket, {{"command", "scan_realtime"}, {"path", small}});
  ASSERT_TRUE(realtime.has_value()) << "root's scan_realtime got no answer";
  EXPECT_EQ(realtime->value("status", ""), "clean") << realtime->dump();
  const int listed = nobodysScans(socket);
  ASSERT_GE(listed, 0) << "root's list_scans got no answer";
  EXPECT_GE(listed, 1) << "the user's scans were over before the checks ran";

  // The user hangs up: each of its scans stops at the next file and leaves the list.
  running.clear();
  bool gone = false;
  for (int attempt = 0; attempt < 200 && !gone; ++attempt) {
    gone = nobodysScans(socket) == 0;
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(gone) << "the scans of a client that hung up went on";
  EXPECT_EQ(ask(socket, {{"command", "status"}}).value_or(json()).value("status", ""), "ok");
}

}  // namespace
}  // namespace norvid
