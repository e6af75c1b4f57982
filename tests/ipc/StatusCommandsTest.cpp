#include "ipc/StatusCommands.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/ipc/CoreFixture.hpp"

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
  fixture.core().statistics().recordScan("/tmp/a");
  fixture.core().statistics().recordScan("/tmp/b");
  fixture.core().statistics().recordThreat("/tmp/b", "Eicar");
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

}  // namespace
}  // namespace norvid
