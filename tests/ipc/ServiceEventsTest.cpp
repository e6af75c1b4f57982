// The events the commands publish, as the journal receives them (through a recording writer):
// one per kind of event, with the fields that apply, the owner of the file at that moment.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "logging/ServiceEvents.hpp"
#include "tests/ipc/CoreFixture.hpp"
#include "tests/support/LocalUser.hpp"
#include "tests/support/RecordedJournal.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using Entry = testing::RecordedJournal::Entry;
using nlohmann::json;

constexpr const char* kMarkerRule =
    "rule Test_Marker { strings: $a = \"NORVID-TEST-MARKER\" condition: $a }\n";
constexpr std::uint32_t kNobody = 65534;

class ServiceEventsTest : public ::testing::Test {
 protected:
  ServiceEventsTest() { fixture_.writeRule("marker.yar", kMarkerRule); }

  std::string file(const std::string& name, const std::string& content) {
    return fixture_.root().write("files/" + name, content);
  }
  json call(const json& request, const CallerIdentity& caller = {}) {
    return json::parse(fixture_.core().processCommand(request.dump(), caller));
  }
  std::vector<Entry> kind(const char* messageId) { return journal_.where("MESSAGE_ID", messageId); }

  testing::RecordedJournal journal_;
  testing::CoreFixture fixture_;
};

constexpr const char* kThreatFound = "d763df43d6944423ad774bccbc28867d";
constexpr const char* kQuarantined = "24a6b131297149dfb75d83d4ec617b8d";
constexpr const char* kRestored = "975279ccf17a4ad491f1cd656af7f643";
constexpr const char* kDeleted = "371fb51bbc9c4af6936f4a296bfd2fb9";
constexpr const char* kScanFinished = "f230b4fec2684c1689a40123b0f5de26";
constexpr const char* kRulesReloaded = "4c85ac22c39140ce9c94c60a333434d7";

TEST_F(ServiceEventsTest, ADirectoryScanTellsEachThreatThenTheEnd) {
  const std::string bad = file("tree/bad.txt", "xx NORVID-TEST-MARKER xx");
  file("tree/clean.txt", "nothing");
  ASSERT_EQ(::chown(bad.c_str(), kNobody, kNobody), 0);
  const std::string tree = fs::path(bad).parent_path().string();
  ASSERT_EQ(call({{"command", "scan"}, {"path", tree}})["threats_found"], 1);

  auto threats = kind(kThreatFound);
  ASSERT_EQ(threats.size(), 1u);
  EXPECT_EQ(threats[0]["NORVID_PATH"], bad);
  EXPECT_EQ(threats[0]["NORVID_THREAT"], "Test_Marker");
  EXPECT_EQ(threats[0]["NORVID_UID"], "65534");  // the file's owner
  EXPECT_EQ(threats[0]["NORVID_COMMAND"], "scan");
  EXPECT_EQ(threats[0]["PRIORITY"], "4");
  EXPECT_EQ(threats[0]["MESSAGE"], "Amenaza detectada: Test_Marker en " + bad);
  EXPECT_FALSE(threats[0]["NORVID_SCAN_ID"].empty());

  auto finished = kind(kScanFinished);
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(finished[0]["NORVID_PATH"], tree);
  EXPECT_EQ(finished[0]["NORVID_SCAN_ID"], threats[0]["NORVID_SCAN_ID"]);
  EXPECT_EQ(finished[0]["NORVID_FILES_SCANNED"], "2");
  EXPECT_EQ(finished[0]["NORVID_THREATS_FOUND"], "1");
  EXPECT_EQ(finished[0].count("NORVID_THREAT"), 0u);

  // A missing path is an error answer, not a finished scan.
  journal_.clear();
  call({{"command", "scan"}, {"path", tree + "/none"}});
  EXPECT_TRUE(journal_.entries().empty());
}

TEST_F(ServiceEventsTest, AnOnAccessThreatIsFoundThenQuarantinedWithItsOwner) {
  const std::string bad = file("download.exe", "NORVID-TEST-MARKER");
  ASSERT_EQ(::chown(bad.c_str(), kNobody, kNobody), 0);
  const json answer = call({{"command", "scan_realtime"}, {"path", bad}});
  ASSERT_EQ(answer["quarantined"], true);

  auto threats = kind(kThreatFound);
  auto quarantined = kind(kQuarantined);
  ASSERT_EQ(threats.size(), 1u);
  ASSERT_EQ(quarantined.size(), 1u);
  EXPECT_EQ(threats[0]["NORVID_COMMAND"], "scan_realtime");
  // The file is gone from its place; its owner was read while it was there.
  EXPECT_EQ(quarantined[0]["NORVID_UID"], "65534");
  EXPECT_EQ(quarantined[0]["NORVID_PATH"], bad);
  EXPECT_EQ(quarantined[0]["NORVID_THREAT"], "Test_Marker");
  EXPECT_EQ(quarantined[0]["NORVID_QUARANTINE_ID"], answer["quarantine_id"]);
  EXPECT_EQ(quarantined[0]["PRIORITY"], "5");
  EXPECT_EQ(kind(kScanFinished).size(), 0u);  // on-access scans are too many to tell each
}

TEST_F(ServiceEventsTest, QuarantineRestoreAndDeleteAreTold) {
  const std::string first = file("a.bin", "one");
  const std::string second = file("b.bin", "two");
  ASSERT_EQ(::chown(first.c_str(), kNobody, kNobody), 0);
  const CallerIdentity admin = testing::localUser(0, 0);
  const std::string firstId =
      call({{"command", "quarantine_file"}, {"path", first}, {"threat_name", "Manual"}},
           admin)["file_id"];
  const std::string secondId =
      call({{"command", "quarantine_file"}, {"path", second}, {"threat_name", "Manual"}},
           admin)["file_id"];
  auto quarantined = kind(kQuarantined);
  ASSERT_EQ(quarantined.size(), 2u);
  EXPECT_EQ(quarantined[0]["NORVID_COMMAND"], "quarantine_file");
  EXPECT_EQ(quarantined[0]["NORVID_UID"], "65534");
  EXPECT_EQ(quarantined[1]["NORVID_UID"], "0");
  EXPECT_EQ(kind(kThreatFound).size(), 0u);

  ASSERT_EQ(call({{"command", "restore_quarantine"}, {"id", firstId}}, admin)["status"], "ok");
  ASSERT_EQ(call({{"command", "delete_quarantine"}, {"id", secondId}}, admin)["status"], "ok");
  auto restored = kind(kRestored);
  auto deleted = kind(kDeleted);
  ASSERT_EQ(restored.size(), 1u);
  ASSERT_EQ(deleted.size(), 1u);
  EXPECT_EQ(restored[0]["NORVID_PATH"], first);
  EXPECT_EQ(restored[0]["NORVID_UID"], "65534");
  EXPECT_EQ(restored[0]["NORVID_QUARANTINE_ID"], firstId);
  EXPECT_EQ(restored[0]["NORVID_COMMAND"], "restore_quarantine");
  EXPECT_EQ(deleted[0]["NORVID_PATH"], second);
  EXPECT_EQ(deleted[0]["NORVID_THREAT"], "Manual");
  EXPECT_EQ(deleted[0]["NORVID_UID"], "0");

  // Refused or failed work tells nothing.
  journal_.clear();
  call({{"command", "delete_quarantine"}, {"id", "no-such-id"}}, admin);
  call({{"command", "restore_quarantine"}, {"id", firstId}}, testing::localUser(kNobody, kNobody));
  EXPECT_TRUE(journal_.entries().empty());
}

TEST_F(ServiceEventsTest, ReportsAndRuleReloadsAreTold) {
  const std::string bad = file("docs/bad.txt", "NORVID-TEST-MARKER");
  const std::string docs = fs::path(bad).parent_path().string();
  const json report =
      call({{"command", "generate_report"}, {"path", docs}}, testing::localUser(0, 0));
  ASSERT_EQ(report["status"], "ok");
  auto threats = kind(kThreatFound);
  ASSERT_EQ(threats.size(), 1u);
  EXPECT_EQ(threats[0]["NORVID_COMMAND"], "generate_report");
  EXPECT_EQ(threats[0]["NORVID_SCAN_ID"], report["scan_id"]);
  ASSERT_EQ(kind(kScanFinished).size(), 1u);

  const json reload = call({{"command", "reload_rules"}}, testing::localUser(0, 0));
  ASSERT_EQ(reload["status"], "ok");
  auto reloaded = kind(kRulesReloaded);
  ASSERT_EQ(reloaded.size(), 1u);
  EXPECT_EQ(reloaded[0]["NORVID_RULE_COUNT"], "1");
  EXPECT_EQ(reloaded[0]["NORVID_UID"], "0");
  EXPECT_EQ(reloaded[0]["MESSAGE"], "Reglas actualizadas: 1 reglas");
  EXPECT_EQ(reloaded[0]["PRIORITY"], "6");
}

}  // namespace
}  // namespace norvid
