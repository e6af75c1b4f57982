#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/ipc/CoreFixture.hpp"
#include "tests/support/EventLogCapture.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;

// Runs norvidctl as the unprivileged user 65534 against the fixture's socket and returns its
// output. Empty optional when the tools needed are not there.
std::optional<std::string> askAsNobody(const testing::CoreFixture& fixture,
                                       const std::string& arguments) {
  const char* binaryDir = std::getenv("NORVID_TEST_BINARY_DIR");
  if (binaryDir == nullptr || std::system("command -v setpriv > /dev/null") != 0) {
    return std::nullopt;
  }
  const std::string output = fixture.root().str() + "/nobody.out";
  const std::string command = "NORVID_SOCKET='" + fixture.paths().socketPath +
                              "' setpriv --reuid=65534 --regid=65534 --clear-groups '" +
                              std::string(binaryDir) + "/norvidctl' " + arguments + " --raw > '" +
                              output + "' 2>&1";
  std::system(command.c_str());
  return testing::readFile(output);
}

TEST(CallerIdentityTest, AnUnprivilegedCallerCannotHaveTheServiceDeleteWhatItCouldNot) {
  testing::CoreFixture fixture;
  fixture.writeRule("marker.yar",
                    "rule Test_Marker { strings: $a = \"NORVID-TEST-MARKER\" condition: $a }\n");
  fixture.serve();
  // The caller can reach the socket and read the file, but the directory is root's.
  fs::permissions(fixture.root().path(), fs::perms::owner_all | fs::perms::group_read |
                                             fs::perms::group_exec | fs::perms::others_read |
                                             fs::perms::others_exec);
  const std::string victim = fixture.root().write("system/victim.conf", "NORVID-TEST-MARKER");
  fs::permissions(fixture.root().path() / "system", fs::perms::owner_all | fs::perms::others_read |
                                                        fs::perms::others_exec);
  const std::size_t mark = testing::EventLogCapture::instance().mark();

  auto realtime = askAsNobody(fixture, "scan_realtime path=" + victim);
  if (!realtime) GTEST_SKIP() << "needs setpriv and the built norvidctl";
  nlohmann::json answer = nlohmann::json::parse(*realtime);
  EXPECT_EQ(answer["status"], "threat");
  EXPECT_EQ(answer["quarantined"], false);
  EXPECT_FALSE(answer.contains("quarantine_id"));

  nlohmann::json direct =
      nlohmann::json::parse(*askAsNobody(fixture, "quarantine_file path=" + victim +
                                                      " threat_name=Test"));
  EXPECT_EQ(direct["status"], "error");
  EXPECT_TRUE(fs::exists(victim));

  bool denied = false;
  for (const std::string& line : testing::EventLogCapture::instance().messagesSince(mark)) {
    if (line.find("acceso denegado") != std::string::npos &&
        line.find("65534") != std::string::npos) {
      denied = true;
    }
  }
  EXPECT_TRUE(denied);

  // Root, through the same socket, keeps the behaviour as it was.
  nlohmann::json asRoot = fixture.sendJson({{"command", "scan_realtime"}, {"path", victim}});
  EXPECT_EQ(asRoot["quarantined"], true);
  EXPECT_FALSE(fs::exists(victim));
}

}  // namespace
}  // namespace norvid
