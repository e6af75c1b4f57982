#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/EngineSlot.hpp"
#include "engine/Scanner.hpp"
#include "engine/YaraEngine.hpp"
#include "ipc/ReportCommands.hpp"
#include "tests/support/EventLogCapture.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::EventLogCapture;
using testing::readFile;
using testing::TempDir;

constexpr const char* kMarker = "NORVID-REPORT-TEST-MARKER";

// A real engine with one rule on a temporary rules directory, and a scanner over it.
class ReportCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("rules/marker.yar", std::string("rule Report_Test_Marker { strings: $a = \"") +
                                       kMarker + "\" condition: $a }\n");
    slot_.engine = std::make_unique<YaraEngine>(dir_.str());
    ASSERT_TRUE(slot_.engine->initialize());
    ASSERT_TRUE(slot_.engine->loadRulesFromDirectory((dir_.path() / "rules").string()));
    slot_.scanner = std::make_unique<Scanner>(slot_.engine.get(), true, true, nullptr,
                                              (dir_.path() / "extract").string());
  }

  std::string reportsDir() const { return (dir_.path() / "reports").string(); }

  json generate(const std::string& path, const std::string& scanType = "manual") {
    return json::parse(commands_.handleGenerateReport(path, scanType, CallerIdentity::service()));
  }

  TempDir dir_;
  EngineSlot slot_;
  ReportCommands commands_{slot_, reportsDir()};
};

TEST_F(ReportCommandsTest, DirectoryScanWritesBothReports) {
  std::string infected = dir_.write("target/sub/dropper.bin", std::string("xx") + kMarker);
  dir_.write("target/a.txt", "hello");
  dir_.write("target/sub/b.txt", "world");
  std::string target = (dir_.path() / "target").string();
  std::size_t mark = EventLogCapture::instance().mark();

  json response = generate(target, "full");

  ASSERT_EQ(response.at("status"), "ok") << response;
  EXPECT_EQ(response.at("command"), "generate_report");
  EXPECT_EQ(response.at("files_scanned"), 3);
  EXPECT_EQ(response.at("threats_found"), 1);
  EXPECT_TRUE(response.at("duration").is_number_float());
  std::string id = response.at("scan_id");
  std::string jsonPath = reportsDir() + "/scan-" + id + ".json";
  EXPECT_EQ(response.at("report_json"), jsonPath);
  EXPECT_EQ(response.at("report_html"), reportsDir() + "/scan-" + id + ".html");
  EXPECT_EQ(response.size(), 8u);

  json report = json::parse(readFile(jsonPath));
  EXPECT_EQ(report.at("scan_id"), id);
  EXPECT_EQ(report.at("scan_type"), "full");
  EXPECT_EQ(report.at("target_path"), target);
  EXPECT_EQ(report.at("files_scanned"), 3);
  EXPECT_EQ(report.at("threats_found"), 1);
  EXPECT_EQ(report.at("rules_loaded"), 1);
  EXPECT_EQ(report.at("threats"), json::array({infected + " | Report_Test_Marker"}));
  EXPECT_EQ(report.at("error_details"), json::array());
  std::string html = readFile(reportsDir() + "/scan-" + id + ".html");
  EXPECT_NE(html.find("AMENAZAS DETECTADAS"), std::string::npos);
  EXPECT_NE(html.find("tag-danger\">Report_Test_Marker</span>"), std::string::npos);

  EXPECT_EQ(EventLogCapture::instance().messagesSince(mark),
            std::vector<std::string>{"[INF] Reporte generado: " + jsonPath +
                                     " (3 archivos, 1 amenazas)"});
}

TEST_F(ReportCommandsTest, SingleFileAndEmptyDirectory) {
  struct Case {
    std::string path;
    int files;
    int threats;
  };
  const std::vector<Case> cases = {
      {dir_.write("one/infected.bin", kMarker), 1, 1},
      {dir_.write("one/clean.txt", "clean"), 1, 0},
  };
  fs::create_directory(dir_.path() / "empty");
  for (const Case& c : cases) {
    json response = generate(c.path);
    ASSERT_EQ(response.at("status"), "ok") << c.path;
    EXPECT_EQ(response.at("files_scanned"), c.files) << c.path;
    EXPECT_EQ(response.at("threats_found"), c.threats) << c.path;
  }

  json response = generate((dir_.path() / "empty").string());
  ASSERT_EQ(response.at("status"), "ok");
  EXPECT_EQ(response.at("files_scanned"), 0);
  std::string html = readFile(response.at("report_html").get<std::string>());
  EXPECT_NE(html.find("<div class=\"status-banner success\">"), std::string::npos);
  EXPECT_EQ(html.find("Amenazas Detectadas"), std::string::npos);
}

TEST_F(ReportCommandsTest, Failures) {
  EXPECT_EQ(commands_.handleGenerateReport("/nonexistent/norvid/path", "manual",
                                           CallerIdentity::service()),
            R"({"error":"La ruta no existe: /nonexistent/norvid/path","status":"error"})");
  EXPECT_FALSE(fs::exists(reportsDir()));

  EngineSlot empty;
  ReportCommands withoutEngine(empty, reportsDir());
  EXPECT_EQ(withoutEngine.handleGenerateReport(dir_.str(), "manual", CallerIdentity::service()),
            R"({"error":"Motor YARA no inicializado","status":"error"})");
}

TEST_F(ReportCommandsTest, ReportsDirectoryThatCannotBeMadeIsAnError) {
  std::string blocker = dir_.write("blocker", "not a directory");
  std::string target = dir_.write("t/a.txt", "clean");
  ReportCommands blocked(slot_, blocker + "/reports");
  std::size_t mark = EventLogCapture::instance().mark();

  json response =
      json::parse(blocked.handleGenerateReport(target, "manual", CallerIdentity::service()));

  EXPECT_EQ(response.size(), 2u);
  EXPECT_EQ(response.at("status"), "error");
  std::string error = response.at("error");
  EXPECT_EQ(error.rfind("Error generando reporte: ", 0), 0u) << error;
  EXPECT_NE(error.find("create_directories"), std::string::npos) << error;
  EXPECT_EQ(EventLogCapture::instance().messagesSince(mark),
            std::vector<std::string>{"[ERR] " + error});
}

// Writes a report file with a last write time `age` seconds in the past.
std::string writeAged(const TempDir& dir, const std::string& name, const std::string& content,
                      int age) {
  std::string path = dir.write("reports/" + name, content);
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(age));
  return path;
}

TEST_F(ReportCommandsTest, ListReportsSummarisesReadableReports) {
  std::string full = writeAged(dir_, "scan-1-1000.json",
                               R"({"scan_id":"1-1000","scan_type":"manual","target_path":"/t",)"
                               R"("start_time":"2026-01-02 03:04:05","duration_seconds":1.5,)"
                               R"("files_scanned":7,"threats_found":2,"threats":[]})",
                               10);
  std::string sparse = writeAged(dir_, "scan-2-1000.json", "{}", 20);
  writeAged(dir_, "scan-3-1000.json", "{\"scan_id\": \"cut", 5);
  writeAged(dir_, "scan-4-1000.json", R"({"files_scanned":"seven"})", 6);
  writeAged(dir_, "scan-5-1000.json", R"({"files_scanned":1e12})", 7);
  writeAged(dir_, "scan-6-1000.json", "[1, 2]", 8);

  EXPECT_EQ(
      commands_.handleListReports(50),
      R"({"command":"list_reports","count":6,"reports":[)"
      R"({"duration":1.5,"files_scanned":7,"path":")" +
          full +
          R"(","scan_id":"1-1000","scan_type":"manual","start_time":"2026-01-02 03:04:05",)"
          R"("target_path":"/t","threats_found":2},)"
          R"({"duration":0.0,"files_scanned":0,"path":")" +
          sparse +
          R"(","scan_id":"","scan_type":"","start_time":"","target_path":"","threats_found":0}],)"
          R"("status":"ok"})");
}

TEST_F(ReportCommandsTest, ReportWithANameThatIsNotUtf8IsCountedButNotListed) {
  std::string good = writeAged(dir_, "scan-1-1000.json", R"({"scan_id":"1-1000"})", 10);
  writeAged(dir_, "scan-\xff-1000.json", R"({"scan_id":"2-1000"})", 5);

  json listed = json::parse(commands_.handleListReports(50));
  EXPECT_EQ(listed.at("status"), "ok");
  EXPECT_EQ(listed.at("count"), 2);
  ASSERT_EQ(listed.at("reports").size(), 1u);
  EXPECT_EQ(listed.at("reports").at(0).at("path"), good);
}

TEST_F(ReportCommandsTest, ListReportsCountsAndLimits) {
  EXPECT_EQ(commands_.handleListReports(50),
            R"({"command":"list_reports","count":0,"reports":[],"status":"ok"})");

  for (int i = 0; i < 55; ++i) {
    writeAged(dir_, "scan-" + std::to_string(i) + "-1000.json",
              R"({"files_scanned":)" + std::to_string(i) + "}", i);
  }
  EXPECT_EQ(commands_.handleListReports(0),
            R"({"command":"list_reports","count":0,"reports":[],"status":"ok"})");

  json listed = json::parse(commands_.handleListReports(50));
  EXPECT_EQ(listed.at("count"), 50);
  ASSERT_EQ(listed.at("reports").size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(listed.at("reports").at(i).at("files_scanned"), i);

  json negative = json::parse(commands_.handleListReports(-1));
  EXPECT_EQ(negative.size(), 2u);
  EXPECT_EQ(negative.at("status"), "error");
  EXPECT_EQ(negative.at("error").get<std::string>().rfind("Error listando reportes: ", 0), 0u);
}

TEST_F(ReportCommandsTest, GeneratedReportIsListed) {
  dir_.write("target/a.txt", "clean");
  json generated = generate((dir_.path() / "target").string(), "quick");
  ASSERT_EQ(generated.at("status"), "ok");

  json listed = json::parse(commands_.handleListReports(50));
  ASSERT_EQ(listed.at("count"), 1);
  json element = listed.at("reports").at(0);
  EXPECT_EQ(element.at("path"), generated.at("report_json"));
  EXPECT_EQ(element.at("scan_id"), generated.at("scan_id"));
  EXPECT_EQ(element.at("scan_type"), "quick");
  EXPECT_EQ(element.at("files_scanned"), 1);
  EXPECT_NEAR(element.at("duration").get<double>(), generated.at("duration").get<double>(), 0.005);
}

}  // namespace
}  // namespace norvid
