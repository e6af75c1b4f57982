#include "ipc/StatusCommands.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/ipc/CoreFixture.hpp"
#include "tests/support/LocalUser.hpp"

namespace norvid {
namespace {

using testing::CoreFixture;

TEST(StatusCommandsTest, FreshCoreWithoutRulesReportsEveryStatusMember) {
  CoreFixture fixture;
  nlohmann::json status = fixture.call({{"command", "status"}});

  EXPECT_EQ(status["status"], "ok");
  EXPECT_EQ(status["command"], "status");
  EXPECT_EQ(status["service_running"], true);
  EXPECT_EQ(status["version"], "0.1.0");
  EXPECT_EQ(status["service_name"], "NorvidCoreService");
  EXPECT_EQ(status["uptime_formatted"], "0h 0m");
  EXPECT_EQ(status["engine_ready"], false);
  EXPECT_EQ(status["rules_loaded"], 0);
  EXPECT_EQ(status["hash_signatures_loaded"], 0);
  for (const char* counter : {"total_scans", "total_threats", "total_amsi_scans",
                              "total_amsi_threats", "exclusions_count", "schedules_count",
                              "quarantine_count", "reports_count", "uptime_seconds"}) {
    EXPECT_EQ(status[counter], 0) << counter;
  }
  for (const char* text : {"last_scan_path", "last_scan_time", "last_threat_name",
                           "last_threat_path", "last_threat_time"}) {
    EXPECT_EQ(status[text], "") << text;
  }
  EXPECT_GT(status["memory_usage_mb"].get<double>(), 0.0);
  EXPECT_EQ(status.size(), 24u);

  std::string trace = testing::readFile(fixture.paths().dataDir + "/ipc_debug.log");
  EXPECT_EQ(trace.rfind("[DBG] IPCServer constructor start\n[DBG] exe_dir: " +
                            fixture.paths().exeDir + "\n[DBG] EventLogger OK\n",
                        0),
            0u)
      << trace;
}

TEST(StatusCommandsTest, ReportsCountTakesOnlyJsonFilesDirectlyInTheDirectory) {
  CoreFixture fixture;
  const std::string reports = "exe/reports/";
  fixture.root().write(reports + "scan-1.json", "{}");
  fixture.root().write(reports + "scan-2.json", "{}");
  fixture.root().write(reports + "scan-3.JSON", "{}");
  fixture.root().write(reports + "scan-1.html", "");
  fixture.root().write(reports + "nested/scan-4.json", "{}");
  std::filesystem::create_directories(fixture.root().path() / "exe/reports/dir.json");
  EXPECT_EQ(fixture.call({{"command", "status"}})["reports_count"], 2);
}

TEST(StatusCommandsTest, StatisticsRecordScansAndThreats) {
  CoreFixture fixture;
  const CallerIdentity service = CallerIdentity::service();
  fixture.core().statistics().recordScan("/tmp/a", service);
  fixture.core().statistics().recordScan("/tmp/b", service);
  fixture.core().statistics().recordThreat("/tmp/b", "Eicar", service);
  nlohmann::json status = fixture.call({{"command", "status"}});
  EXPECT_EQ(status["total_scans"], 2);
  EXPECT_EQ(status["total_threats"], 1);
  EXPECT_EQ(status["last_scan_path"], "/tmp/b");
  EXPECT_EQ(status["last_threat_name"], "Eicar");
  EXPECT_EQ(status["last_threat_path"], "/tmp/b");
  EXPECT_EQ(status["last_scan_time"].get<std::string>().size(), 19u);
  EXPECT_EQ(status["last_threat_time"].get<std::string>().size(), 19u);
}

TEST(StatusCommandsTest, ResponsesAreCompactAndSorted) {
  CoreFixture fixture;
  std::string text = fixture.core().processCommand(R"({"command":"status","zzz":1})");
  EXPECT_EQ(text.find(": "), std::string::npos);
  EXPECT_EQ(text.find(", "), std::string::npos);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.rfind("{\"command\":\"status\",\"engine_ready\":", 0), 0u) << text;
}

// A store the quarantine refuses to load holds no record it could restore or delete, so status
// counts none, however long its list. The file is written after the start, so no load of it has
// been counted yet.
TEST(StatusCommandsTest, QuarantineCountIsWhatTheStoreCanLoad) {
  CoreFixture fixture;
  EXPECT_EQ(fixture.call({{"command", "status"}})["quarantine_count"], 0);
  nlohmann::json entries = nlohmann::json::array();
  for (int i = 0; i < 28; ++i) {
    const std::string id = "id-" + std::to_string(i);
    entries.push_back({{"id", id},
                       {"original_path", "/srv/" + id},
                       {"quarantine_path", fixture.paths().quarantineDir() + "/" + id + ".qtn"},
                       {"threat_name", "T"},
                       {"file_hash", "unknown"},
                       {"file_size", 1},
                       {"quarantine_date", 1733489000}});
  }
  const std::string metadata = fixture.paths().quarantineDir() + "/metadata.json";
  std::filesystem::create_directories(fixture.paths().quarantineDir());
  std::ofstream(metadata) << nlohmann::json{{"entries", entries}, {"version", "1.0"}}.dump();
  EXPECT_EQ(fixture.call({{"command", "status"}})["quarantine_count"], 28);

  entries.push_back({{"id", 29}, {"original_path", "/srv/x"}});
  std::ofstream(metadata) << nlohmann::json{{"entries", entries}, {"version", "1.0"}}.dump();
  EXPECT_EQ(fixture.call({{"command", "status"}})["quarantine_count"], 0);
  EXPECT_EQ(fixture.call({{"command", "list_quarantine"}})["status"], "error");
}

// The last events an ordinary user is shown are those of its own requests, in every member, with
// the counters and every key as for anyone.
TEST(StatusCommandsTest, AnOrdinaryUserSeesOnlyTheLastEventsOfItsOwnRequests) {
  CoreFixture fixture;
  const CallerIdentity alice = testing::localUser(1001, 1001);
  const CallerIdentity bob = testing::localUser(1002, 1002);
  ServiceStatistics& statistics = fixture.core().statistics();
  statistics.recordScan("/home/alice/report.txt", alice);
  statistics.recordThreat("/home/alice/report.txt", "Alice_Threat", alice);
  statistics.recordScan("/root/secret/payroll.txt", CallerIdentity::service());
  statistics.recordThreat("/root/secret/payroll.txt", "Root_Threat", CallerIdentity::service());
  statistics.recordScan("/home/bob/notes.txt", bob);

  auto statusOf = [&](const CallerIdentity& caller) {
    return nlohmann::json::parse(fixture.core().processCommand(R"({"command":"status"})", caller));
  };
  const nlohmann::json ofAlice = statusOf(alice);
  EXPECT_EQ(ofAlice["last_scan_path"], "/home/alice/report.txt");
  EXPECT_EQ(ofAlice["last_threat_path"], "/home/alice/report.txt");
  EXPECT_EQ(ofAlice["last_threat_name"], "Alice_Threat");
  EXPECT_EQ(ofAlice["total_scans"], 3);
  EXPECT_EQ(ofAlice["total_threats"], 2);

  const nlohmann::json ofBob = statusOf(bob);
  EXPECT_EQ(ofBob["last_scan_path"], "/home/bob/notes.txt");
  EXPECT_EQ(ofBob["last_scan_time"].get<std::string>().size(), 19u);
  for (const char* member : {"last_threat_name", "last_threat_path", "last_threat_time"}) {
    EXPECT_EQ(ofBob[member], "") << member;
  }

  const nlohmann::json ofStranger = statusOf(testing::localUser(1003, 1003));
  for (const char* member : {"last_scan_path", "last_scan_time", "last_threat_name",
                             "last_threat_path", "last_threat_time"}) {
    EXPECT_EQ(ofStranger[member], "") << member;
  }
  EXPECT_EQ(ofStranger.size(), statusOf(CallerIdentity::service()).size());

  const nlohmann::json ofRoot = statusOf(testing::localUser(0, 0));
  EXPECT_EQ(ofRoot["last_scan_path"], "/home/bob/notes.txt");
  EXPECT_EQ(ofRoot["last_threat_path"], "/root/secret/payroll.txt");
  EXPECT_EQ(ofRoot["last_threat_name"], "Root_Threat");
}

}  // namespace
}  // namespace norvid
