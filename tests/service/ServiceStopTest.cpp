#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/SocketClient.hpp"
#include "tests/service/ServiceProcess.hpp"
#include "tests/support/ArchiveFixtures.hpp"
#include "tests/support/TempDir.hpp"

extern char** environ;

namespace norvid {
namespace {

namespace fs = std::filesystem;
using norvid::testing::ArchiveFixtures;
using norvid::testing::ArchiveFormat;
using norvid::testing::ArchiveMember;
using norvid::testing::ServiceProcess;
using norvid::testing::TempDir;

// A rule that never finishes on a file of some size: every scan runs into the time limit.
const char* const kEndlessRule =
    "rule Endless { condition: for all i in (0..filesize - 1) : "
    "(for all j in (0..filesize - 1) : (uint8(i) != 256 and uint8(j) != 256)) }\n";

// Waits for the child to end, for at most `limit`; its wait status, or empty when it still runs.
std::optional<int> waitForExit(pid_t child, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return std::nullopt;
}

TEST(ServiceStopTest, TermDuringScansThatOutlastTheDrainEndsTheProcessCleanly) {
  const char* binaryDir = std::getenv("NORVID_TEST_BINARY_DIR");
  if (binaryDir == nullptr || !fs::exists(fs::path(binaryDir) / "norvid-core")) {
    GTEST_SKIP() << "needs the built norvid-core (NORVID_TEST_BINARY_DIR)";
  }
  TempDir temp;
  // The service reads its rules beside its executable.
  const fs::path exe = temp.path() / "exe" / "norvid-core";
  fs::create_directories(exe.parent_path() / "rules");
  std::error_code linkError;
  fs::create_hard_link(fs::path(binaryDir) / "norvid-core", exe, linkError);
  if (linkError) fs::copy_file(fs::path(binaryDir) / "norvid-core", exe);
  temp.write("exe/rules/endless.yar", kEndlessRule);
  for (int i = 0; i < 4; ++i) temp.write("tree/f" + std::to_string(i), std::string(200000, 'a'));
  const std::string socket = temp.str() + "/svc.sock";

  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  environment.push_back("NORVID_DATA_DIR=" + temp.str() + "/data");
  environment.push_back("NORVID_SOCKET=" + socket);
  environment.push_back("NORVID_SCAN_THREADS=1");
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = exe.string();
  std::string verb = "run";
  char* argv[] = {program.data(), verb.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log = temp.str() + "/service.log";
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);

  bool listening = false;
  for (int attempt = 0; attempt < 600 && !listening; ++attempt) {
    listening = platform::sendRequest(socket, R"({"command":"status"})").ok();
    if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!listening) {
    ::kill(child, SIGKILL);
    waitForExit(child, std::chrono::seconds(10));
    FAIL() << "the service never answered: " << testing::readFile(log);
  }

  // Two scans whose every file takes the whole time limit keep the workers busy past the drain.
  std::vector<std::thread> clients;
  for (int i = 0; i < 2; ++i) {
    clients.emplace_back([&] {
      platform::sendRequest(socket, R"({"command":"scan","path":")" + temp.str() + R"(/tree"})");
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_EQ(::kill(child, SIGTERM), 0);
  std::optional<int> status = waitForExit(child, std::chrono::seconds(60));
  if (!status) ::kill(child, SIGKILL);
  for (std::thread& client : clients) client.join();
  ASSERT_TRUE(status.has_value()) << "the service did not stop";
  EXPECT_TRUE(WIFEXITED(*status)) << testing::readFile(log);
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  const std::string output = testing::readFile(log);
  EXPECT_EQ(output.find("AddressSanitizer"), std::string::npos) << output;
  EXPECT_EQ(output.find("runtime error"), std::string::npos) << output;
  EXPECT_NE(output.find("[IPCServer] Servidor IPC detenido"), std::string::npos) << output;
}

// The extraction directories below `folder` (none when it is missing).
std::vector<std::string> extractionDirectoriesIn(const fs::path& folder) {
  std::vector<std::string> found;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (it->path().filename().string().rfind("av_extract_", 0) == 0) {
      found.push_back(it->path().string());
    }
  }
  return found;
}

TEST(ServiceStopTest, StopDuringAnArchiveScanLeavesNothingAfterTheNextStart) {
  TempDir temp;
  const std::string program = testing::copyServiceProgram(temp.str() + "/exe");
  // Endless on every member, quick on the archive itself: its members are scanned from their
  // extraction directory for far longer than the stop waits.
  temp.write("exe/rules/endless.yar",
             "rule Endless { condition: uint32(0) != 0x04034b50 and for all i in (0..filesize - 1) "
             ": (for all j in (0..filesize - 1) : (uint8(i) != 256 and uint8(j) != 256)) }\n");
  std::vector<ArchiveMember> members;
  for (int i = 0; i < 3; ++i) {
    members.push_back(ArchiveMember::file("m" + std::to_string(i), std::string(200000, 'a')));
  }
  const std::string archive =
      ArchiveFixtures::write(temp.str() + "/files/sample.zip", ArchiveFormat::StoredZip, members);
  const fs::path temporary = temp.path() / "tmp";
  const fs::path data = temp.path() / "data";
  fs::create_directories(temporary);
  const std::string socket = temp.str() + "/svc.sock";
  const std::vector<std::string> environment = {
      "NORVID_DATA_DIR=" + data.string(), "NORVID_SOCKET=" + socket, "TMPDIR=" + temporary.string(),
      "NORVID_SCAN_THREADS=1"};
  auto extractions = [&] {
    std::vector<std::string> found = extractionDirectoriesIn(temporary);
    for (std::string& inside : extractionDirectoriesIn(data / "extract")) found.push_back(inside);
    return found;
  };

  {
    ServiceProcess service({program, "run"}, environment, temp.str() + "/first.log");
    ASSERT_TRUE(testing::waitForSocket(socket)) << service.output();
    std::thread client([&] {
      platform::sendRequest(socket, R"({"command":"scan","path":")" + archive + R"("})");
    });
    for (int attempt = 0; attempt < 600 && extractions().empty(); ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const bool extracting = !extractions().empty();
    service.signal(SIGTERM);
    const std::optional<int> stopped = service.wait(std::chrono::seconds(60));
    client.join();
    ASSERT_TRUE(extracting) << "the archive was never extracted: " << service.output();
    ASSERT_EQ(stopped, 0) << service.output();
  }

  ServiceProcess service({program, "run"}, environment, temp.str() + "/second.log");
  ASSERT_TRUE(testing::waitForSocket(socket)) << service.output();
  EXPECT_EQ(extractions(), std::vector<std::string>{});
  EXPECT_TRUE(fs::is_empty(data / "extract"));
  EXPECT_EQ(fs::status(data / "extract").permissions() & fs::perms::all, fs::perms::owner_all);
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0) << service.output();
}

}  // namespace
}  // namespace norvid
