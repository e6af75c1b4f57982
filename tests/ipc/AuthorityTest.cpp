#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "tests/ipc/CoreFixture.hpp"
#include "tests/support/EventLogCapture.hpp"
#include "tests/support/FakeSysfsTree.hpp"
#include "tests/support/ScopedEnvironment.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;

const char* const kMarkerRule =
    "rule Test_Marker { strings: $a = \"NORVID-TEST-MARKER\" condition: $a }\n";

// Runs norvidctl through the fixture's socket with the identity `setprivIdentity` (setpriv's
// options) and returns its output; nullopt when setpriv or the built client is missing.
std::optional<std::string> askAs(const testing::CoreFixture& fixture,
                                 const std::string& setprivIdentity,
                                 const std::string& arguments) {
  const char* binaryDir = std::getenv("NORVID_TEST_BINARY_DIR");
  if (binaryDir == nullptr || std::system("command -v setpriv > /dev/null") != 0) {
    return std::nullopt;
  }
  const std::string output = fixture.root().str() + "/client.out";
  const std::string command = "NORVID_SOCKET='" + fixture.paths().socketPath + "' setpriv " +
                              setprivIdentity + " '" + std::string(binaryDir) + "/norvidctl' " +
                              arguments + " --raw > '" + output + "' 2>&1";
  std::system(command.c_str());
  return testing::readFile(output);
}

// Every file below `dir` but the logs, with its content, to show that nothing changed.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(dir, error)) {
    if (entry.is_regular_file() && entry.path().extension() != ".log" &&
        entry.path().filename() != "client.out") {
      files[entry.path().string()] = testing::readFile(entry.path());
    }
  }
  return files;
}

// "nogroup" (65534) exists on every Debian system; it stands in for the administrator group, so
// uid 65534 is an administrator only with that group, primary or supplementary.
class AuthorityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture.writeRule("marker.yar", kMarkerRule);
    sysfs.buildStandardMachine();
    fixture.useUsbTree(sysfs.root(), sysfs.modprobeDirectory());
    fixture.serve();
    fs::permissions(fixture.root().path(), fs::perms(0755));
  }

  static constexpr const char* kOutsider = "--reuid=65534 --regid=100 --clear-groups";
  static constexpr const char* kPrimaryMember = "--reuid=65534 --regid=65534 --clear-groups";
  static constexpr const char* kSupplementaryMember = "--reuid=65534 --regid=100 --groups=65534";

  testing::ScopedEnvironment adminGroup{"NORVID_ADMIN_GROUP", "nogroup"};
  testing::FakeSysfsTree sysfs;
  testing::CoreFixture fixture;
};

TEST_F(AuthorityTest, OnlyRootAndTheAdministratorGroupRunAdministratorCommands) {
  // A quarantined file and a task, so that restore, delete and remove have real targets.
  const std::string victim = fixture.root().write("files/victim.txt", "NORVID-TEST-MARKER");
  const std::string id =
      fixture.sendJson({{"command", "quarantine_file"}, {"path", victim}, {"threat_name", "T"}})
          .value("file_id", "");
  ASSERT_FALSE(id.empty());
  const std::string taskId = fixture
                                 .sendJson({{"command", "add_schedule"},
                                            {"frequency", "daily"},
                                            {"hour", 3},
                                            {"minute", 0},
                                            {"scan_type", "quick"}})
                                 .value("task_id", "");
  ASSERT_FALSE(taskId.empty());

  const std::pair<const char*, std::string> commands[] = {
      {"add_exclusion", "path=/"},
      {"remove_exclusion", "path=/tmp"},
      {"add_schedule", "frequency=daily hour=1 minute=2 scan_type=full"},
      {"remove_schedule", "task_id=" + taskId},
      {"reload_rules", ""},
      {"restore_quarantine", "id=" + id},
      {"delete_quarantine", "id=" + id},
      {"usb_enable", ""},
      {"usb_disable", ""},
      {"usb_enable_port", "device_id=USB\\\\VID_0781\\&PID_5567\\\\1-2"},
      {"usb_disable_port", "device_id=USB\\\\VID_0781\\&PID_5567\\\\1-2"},
  };
  const auto before = snapshot(fixture.root().path());
  const auto sysfsBefore = snapshot(sysfs.scratch().path());
  testing::EventLogCapture& log = testing::EventLogCapture::instance();
  for (const auto& [command, members] : commands) {
    SCOPED_TRACE(command);
    const std::size_t mark = log.mark();
    const auto answer = askAs(fixture, kOutsider, std::string(command) + " " + members);
    if (!answer) GTEST_SKIP() << "needs setpriv and the built norvidctl";
    EXPECT_EQ(*answer, std::string(R"({"error":"Acceso denegado: )") + command +
                           R"( requiere privilegios de administrador","status":"error"})" + "\n");
    const auto lines = log.messagesSince(mark);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string("[WRN] Acceso denegado: uid 65534 intentó ejecutar ") +
                            command + " sin privilegios de administrador");
  }
  EXPECT_EQ(snapshot(fixture.root().path()), before);
  EXPECT_EQ(snapshot(sysfs.scratch().path()), sysfsBefore);

  // Members of the group, by either kind of membership, and root run them.
  for (const char* member : {kPrimaryMember, kSupplementaryMember}) {
    SCOPED_TRACE(member);
    for (const char* command : {"reload_rules", "usb_disable", "usb_enable"}) {
      const std::string answer = *askAs(fixture, member, command);
      EXPECT_NE(answer.find(R"("status":"ok")"), std::string::npos) << command << ": " << answer;
    }
  }
  EXPECT_EQ(fixture.sendJson({{"command", "restore_quarantine"}, {"id", id}})["status"], "ok");
  EXPECT_TRUE(fs::exists(victim));
  EXPECT_EQ(fixture.sendJson({{"command", "remove_schedule"}, {"task_id", taskId}})["status"],
            "ok");
  // Open commands still answer anyone.
  EXPECT_NE(askAs(fixture, kOutsider, "status")->find(R"("status":"ok")"), std::string::npos);
}

TEST_F(AuthorityTest, ScansAndReportsNameNothingTheCallerCannotRead) {
  const fs::path top = fixture.root().path() / "tree";
  fixture.root().write("tree/open/clean.txt", "nothing here");
  const std::string hidden = fixture.root().write("tree/secret/hidden-infected.txt",
                                                  "NORVID-TEST-MARKER");
  fs::permissions(top, fs::perms(0755));
  fs::permissions(top / "open", fs::perms(0755));
  fs::permissions(top / "secret", fs::perms(0700));

  const auto tree = askAs(fixture, kOutsider, "scan path=" + top.string());
  if (!tree) GTEST_SKIP() << "needs setpriv and the built norvidctl";
  EXPECT_EQ(tree->find("hidden-infected"), std::string::npos) << *tree;
  EXPECT_NE(tree->find(R"("files_scanned":1)"), std::string::npos) << *tree;
  EXPECT_NE(tree->find(R"("result":"CLEAN")"), std::string::npos) << *tree;
  EXPECT_EQ(*askAs(fixture, kOutsider, "scan path=" + hidden),
            R"({"error":"La ruta no existe: )" + hidden + R"(","status":"error"})" + "\n");

  const auto report = askAs(fixture, kOutsider, "generate_report path=" + top.string());
  const nlohmann::json answer = nlohmann::json::parse(*report);
  ASSERT_EQ(answer["status"], "ok") << *report;
  EXPECT_EQ(answer["files_scanned"], 1);
  const std::string jsonReport = answer["report_json"];
  const std::string htmlReport = answer["report_html"];
  EXPECT_EQ(testing::readFile(jsonReport).find("hidden-infected"), std::string::npos);
  EXPECT_EQ(testing::readFile(htmlReport).find("hidden-infected"), std::string::npos);
  // Reports are for administrators only.
  for (const std::string& path : {jsonReport, htmlReport}) {
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640)) << path;
    EXPECT_EQ(askAs(fixture, kOutsider, "status") ? ::access(path.c_str(), R_OK) : 0, 0);
  }
  EXPECT_EQ(fs::status(fs::path(jsonReport).parent_path()).permissions(), fs::perms(0750));

  // Root still sees everything.
  const nlohmann::json asRoot = fixture.sendJson({{"command", "scan"}, {"path", top.string()}});
  EXPECT_EQ(asRoot["threats_found"], 1);
}

// The last scanned and infected paths name files; a user who may not list a folder must not
// learn the names in it from status, so an ordinary user is told only of its own requests.
TEST_F(AuthorityTest, StatusTellsAnOrdinaryUserOnlyOfItsOwnScans) {
  const fs::path secret = fixture.root().path() / "secret";
  const std::string rootsFile = fixture.root().write(
      "secret/inner-private-name/payroll-2025-layoffs.txt", "NORVID-TEST-MARKER");
  fs::permissions(secret, fs::perms(0700));
  ASSERT_EQ(fixture.sendJson({{"command", "scan"}, {"path", rootsFile}})["result"], "INFECTED");

  const auto before = askAs(fixture, kOutsider, "status");
  if (!before) GTEST_SKIP() << "needs setpriv and the built norvidctl";
  const nlohmann::json outsiderView = nlohmann::json::parse(*before);
  EXPECT_EQ(before->find("payroll"), std::string::npos) << *before;
  for (const char* member : {"last_scan_path", "last_scan_time", "last_threat_name",
                             "last_threat_path", "last_threat_time"}) {
    EXPECT_EQ(outsiderView[member], "") << member;
  }
  EXPECT_EQ(outsiderView["total_scans"], 1) << "the counters stay the service's";
  EXPECT_EQ(outsiderView["total_threats"], 1);

  // The user's own scan is shown to it, and still nothing of root's.
  const std::string ownFile = fixture.root().write("mine/own-infected.txt", "NORVID-TEST-MARKER");
  fs::permissions(fixture.root().path() / "mine", fs::perms(0755));
  askAs(fixture, kOutsider, "scan path=" + ownFile);
  fixture.sendJson({{"command", "scan"}, {"path", rootsFile}});
  const nlohmann::json own = nlohmann::json::parse(*askAs(fixture, kOutsider, "status"));
  EXPECT_EQ(own["last_scan_path"], ownFile);
  EXPECT_EQ(own["last_threat_path"], ownFile);
  EXPECT_EQ(own["last_threat_name"], "Test_Marker");
  EXPECT_EQ(own["last_scan_time"].get<std::string>().size(), 19u);

  // Root and the administrator group see the service's last events, whoever asked for them.
  EXPECT_EQ(fixture.sendJson({{"command", "status"}})["last_scan_path"], rootsFile);
  const nlohmann::json admin = nlohmann::json::parse(*askAs(fixture, kPrimaryMember, "status"));
  EXPECT_EQ(admin["last_threat_path"], rootsFile);
}

TEST_F(AuthorityTest, ClientTextCannotForgeLogLines) {
  const std::string name = "evil\n2026-01-01 00:00:00 [INF] forged\r\x1b[31m.txt";
  const std::string path = fixture.root().write("files/" + name, "NORVID-TEST-MARKER");
  testing::EventLogCapture& log = testing::EventLogCapture::instance();
  const std::size_t mark = log.mark();
  fixture.sendJson({{"command", "scan"}, {"path", path}});
  fixture.sendJson({{"command", "scan_amsi"},
                    {"content", "NORVID-TEST-MARKER"},
                    {"content_name", "a\nforged\x1b[0m.ps1"}});
  // Each line is one whole entry with its own stamp; the client's text stays inside its line.
  const std::regex entry(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d\d:\d\d \[[A-Z]{3}\] .*)");
  int forgedMentions = 0;
  for (const std::string& line : log.linesSince(mark)) {
    EXPECT_TRUE(std::regex_match(line, entry)) << line;
    EXPECT_EQ(line.find_first_of("\r\x1b"), std::string::npos) << line;
    forgedMentions += line.find("forged") != std::string::npos;
  }
  // The scan's line names the path, the AMSI line the content name.
  EXPECT_EQ(forgedMentions, 2);
}

}  // namespace
}  // namespace norvid
