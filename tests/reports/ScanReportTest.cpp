#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "reports/ScanReport.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;

// The fixed start of every HTML report (styles and banner), kept as a file of its own so that it
// can be opened in a browser and compared as a whole.
const std::string kHead =
    readFile(fs::path(NORVID_TEST_SOURCE_DIR) / "reports/expected/report-head.html");

// A report with its stamps fixed, as begin() and finish() would have left it.
ScanReport fixedReport(const std::string& target) {
  ScanReport report;
  report.scan_id = "1733489000-4821";
  report.scan_type = "manual";
  report.target_path = target;
  report.start_time = "2026-12-06 19:23:20";
  report.end_time = "2026-12-06 19:23:21";
  report.duration_seconds = 0.84;
  report.rules_loaded = 412;
  return report;
}

TEST(ScanReportJson, TwoFilesOneDetection) {
  ScanReport report = fixedReport("C:\\Users\\user1\\Downloads");
  report.addResult("C:\\Users\\user1\\Downloads\\tool.exe", "INFECTED", "Trojan_Generic");
  report.addResult("C:\\Users\\user1\\Downloads\\readme.txt", "CLEAN", "");

  EXPECT_EQ(report.toJson(),
            "{\n"
            "  \"scan_id\": \"1733489000-4821\",\n"
            "  \"scan_type\": \"manual\",\n"
            "  \"target_path\": \"C:\\\\Users\\\\user1\\\\Downloads\",\n"
            "  \"start_time\": \"2026-12-06 19:23:20\",\n"
            "  \"end_time\": \"2026-12-06 19:23:21\",\n"
            "  \"duration_seconds\": 0.84,\n"
            "  \"files_scanned\": 2,\n"
            "  \"threats_found\": 1,\n"
            "  \"errors\": 0,\n"
            "  \"skipped\": 0,\n"
            "  \"rules_loaded\": 412,\n"
            "  \"engine_version\": \"0.1.0\",\n"
            "  \"threats\": [\n"
            "    \"C:\\\\Users\\\\user1\\\\Downloads\\\\tool.exe | Trojan_Generic\"\n"
            "  ],\n"
            "  \"error_details\": [\n"
            "  ]\n"
            "}\n");
}

TEST(ScanReportJson, NewReportIsEmpty) {
  EXPECT_EQ(ScanReport().toJson(),
            "{\n"
            "  \"scan_id\": \"\",\n"
            "  \"scan_type\": \"\",\n"
            "  \"target_path\": \"\",\n"
            "  \"start_time\": \"\",\n"
            "  \"end_time\": \"\",\n"
            "  \"duration_seconds\": 0.00,\n"
            "  \"files_scanned\": 0,\n"
            "  \"threats_found\": 0,\n"
            "  \"errors\": 0,\n"
            "  \"skipped\": 0,\n"
            "  \"rules_loaded\": 0,\n"
            "  \"engine_version\": \"0.1.0\",\n"
            "  \"threats\": [\n"
            "  ],\n"
            "  \"error_details\": [\n"
            "  ]\n"
            "}\n");
}

TEST(ScanReportJson, ListsSeparateEntriesWithCommas) {
  ScanReport report = fixedReport("/srv");
  report.addResult("/srv/a", "INFECTED", "R1, R2");
  report.addResult("/srv/b", "INFECTED", "");
  report.addError("/srv/c", "Filesystem error: denied");
  report.addError("/srv/d", "Error: bad");
  std::string json = report.toJson();
  EXPECT_NE(json.find("  \"threats\": [\n"
                      "    \"/srv/a | R1, R2\",\n"
                      "    \"/srv/b\"\n"
                      "  ],\n"),
            std::string::npos);
  EXPECT_NE(json.find("  \"error_details\": [\n"
                      "    \"/srv/c | Filesystem error: denied\",\n"
                      "    \"/srv/d | Error: bad\"\n"
                      "  ]\n"
                      "}\n"),
            std::string::npos);
}

TEST(ScanReportJson, EscapesValuesAndStaysParseable) {
  struct Case {
    std::string raw;
    std::string written;
    std::string parsed;  // what a JSON reader gets back
  };
  const std::vector<Case> cases = {
      {"plain /dir", "plain /dir", "plain /dir"},
      {"tab\there", "tab\\there", "tab\there"},
      {"line\nbreak\r", "line\\nbreak\\r", "line\nbreak\r"},
      {"say \"hi\"", "say \\\"hi\\\"", "say \"hi\""},
      {"C:\\dir", "C:\\\\dir", "C:\\dir"},
      {"<a & 'b'>", "<a & 'b'>", "<a & 'b'>"},
      {"a\x01"
       "b\x1f",
       "a\\u0001b\\u001f",
       "a\x01"
       "b\x1f"},
      {"ma\xc3\xb1"
       "ana \xe2\x82\xac",
       "ma\xc3\xb1"
       "ana \xe2\x82\xac",
       "ma\xc3\xb1"
       "ana \xe2\x82\xac"},
      // Bytes that are not UTF-8 are read as Latin-1, so the file stays valid JSON.
      {"ma\xf1"
       "ana",
       "ma\\u00f1ana",
       "ma\xc3\xb1"
       "ana"},
      {"cut \xe2\x82", "cut \\u00e2\\u0082", "cut \xc3\xa2\xc2\x82"},
      {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080", "\xc3\xad\xc2\xa0\xc2\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.written);
    ScanReport report = fixedReport(c.raw);
    report.addResult(c.raw, "INFECTED", "Rule");
    std::string json = report.toJson();
    EXPECT_NE(json.find("  \"target_path\": \"" + c.written + "\",\n"), std::string::npos);
    EXPECT_NE(json.find("    \"" + c.written + " | Rule\"\n"), std::string::npos);
    nlohmann::json parsed = nlohmann::json::parse(json);
    EXPECT_EQ(parsed.at("target_path"), c.parsed);
    EXPECT_EQ(parsed.at("threats").at(0), c.parsed + " | Rule");
  }
}

TEST(ScanReportFormat, DurationDecimals) {
  struct Case {
    double seconds;
    std::string json;
    std::string html;
  };
  const std::vector<Case> cases = {
      {0.0, "0.00", "0.0"},      {0.84, "0.84", "0.8"},         {1.96, "1.96", "2.0"},
      {59.999, "60.00", "60.0"}, {3600.5, "3600.50", "3600.5"},
  };
  for (const Case& c : cases) {
    ScanReport report;
    report.duration_seconds = c.seconds;
    EXPECT_NE(report.toJson().find("  \"duration_seconds\": " + c.json + ",\n"), std::string::npos)
        << c.seconds;
    EXPECT_NE(
        report.toHtml().find("<td><strong>Duracion</strong></td><td>" + c.html + " segundos</td>"),
        std::string::npos)
        << c.seconds;
  }
}

TEST(ScanReportCounting, StatusWords) {
  ScanReport report;
  report.addResult("/a", "CLEAN", "");
  report.addResult("/b", "INFECTED", "R");
  report.addResult("/c", "SKIPPED", "Excluded by user");
  report.addResult("/d", "SKIPPED", "Zip bomb detected");
  report.addResult("/e", "SOMETHING", "x");
  report.addError("/f", "File does not exist");
  EXPECT_EQ(report.files_scanned, 6);
  EXPECT_EQ(report.threats_found, 1);
  EXPECT_EQ(report.skipped, 2);
  EXPECT_EQ(report.errors, 1);
  EXPECT_EQ(report.threats, std::vector<std::string>{"/b | R"});
  EXPECT_EQ(report.error_details, std::vector<std::string>{"/f | File does not exist"});
}

TEST(ScanReportLifecycle, BeginResetsAndStamps) {
  ScanReport report;
  report.addResult("/old", "INFECTED", "R");
  report.addError("/old2", "x");
  report.rules_loaded = 9;
  report.duration_seconds = 5;
  report.end_time = "old";
  report.engine_version = "other";

  auto before = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  report.begin("scheduled", "/home/user");
  auto after = std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();

  std::smatch id;
  ASSERT_TRUE(std::regex_match(report.scan_id, id, std::regex("([0-9]+)-([0-9]{4})")))
      << report.scan_id;
  EXPECT_GE(std::stoll(id[1]), before);
  EXPECT_LE(std::stoll(id[1]), after);
  EXPECT_GE(std::stoi(id[2]), 1000);
  EXPECT_EQ(report.scan_type, "scheduled");
  EXPECT_EQ(report.target_path, "/home/user");
  EXPECT_TRUE(std::regex_match(report.start_time,
                               std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
      << report.start_time;
  EXPECT_EQ(report.end_time, "");
  EXPECT_EQ(report.engine_version, "0.1.0");
  EXPECT_EQ(report.files_scanned, 0);
  EXPECT_EQ(report.threats_found, 0);
  EXPECT_EQ(report.errors, 0);
  EXPECT_TRUE(report.threats.empty());
  EXPECT_TRUE(report.error_details.empty());
  EXPECT_EQ(report.rules_loaded, 0);
  EXPECT_EQ(report.duration_seconds, 0.0);

  double duration = report.finish(37);
  EXPECT_EQ(duration, report.duration_seconds);
  EXPECT_GE(duration, 0.0);
  EXPECT_EQ(report.rules_loaded, 37);
  EXPECT_TRUE(std::regex_match(
      report.end_time, std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}")));
  EXPECT_GE(report.end_time, report.start_time);
}

TEST(ScanReportLifecycle, IdentifierNumbersStayInRange) {
  std::set<int> numbers;
  for (int i = 0; i < 500; ++i) {
    std::string id = ScanReport::generateScanId();
    int number = std::stoi(id.substr(id.find('-') + 1));
    EXPECT_GE(number, 1000);
    EXPECT_LE(number, 9999);
    numbers.insert(number);
  }
  // Each identifier is seeded afresh; 500 draws from 9000 values are not all the same.
  EXPECT_GT(numbers.size(), 100u);
}

TEST(ScanReportHtml, InfectedScanWithErrors) {
  ScanReport report = fixedReport("C:\\Users\\O'Brien & <Co> \"x\"");
  report.engine_version = "0.1.0<b>";
  report.end_time = "2026-12-06 19:23:21 <z>";
  report.duration_seconds = 12.34;
  report.addResult("C:\\a\\tool.exe", "INFECTED", "Trojan_<Generic>");
  report.addResult("C:\\b & c.exe", "INFECTED", "");
  report.addResult("C:\\ok.txt", "CLEAN", "");
  report.addResult("C:\\skip.txt", "SKIPPED", "Excluded by user");
  report.addError("C:\\locked.bin", "Filesystem error: it's \"locked\"");
  report.error_details.push_back("C:\\bare-error");

  EXPECT_EQ(
      report.toHtml(),
      kHead +
          "  <div class=\"status-banner danger\">\n"
          "    <span class=\"icon\">&#9888;</span>\n"
          "    <span class=\"label\">AMENAZAS DETECTADAS</span>\n"
          "  </div>\n"
          "\n"
          "  <div class=\"card\">\n"
          "    <h2>Informacion del Escaneo</h2>\n"
          "    <table>\n"
          "      <tr><td><strong>ID</strong></td><td>1733489000-4821</td></tr>\n"
          "      <tr><td><strong>Tipo</strong></td><td>manual</td></tr>\n"
          "      <tr><td><strong>Objetivo</strong></td><td>C:\\Users\\O&#39;Brien &amp; "
          "&lt;Co&gt; &quot;x&quot;</td></tr>\n"
          "      <tr><td><strong>Inicio</strong></td><td>2026-12-06 19:23:20</td></tr>\n"
          "      <tr><td><strong>Fin</strong></td><td>2026-12-06 19:23:21 &lt;z&gt;</td></tr>\n"
          "      <tr><td><strong>Duracion</strong></td><td>12.3 segundos</td></tr>\n"
          "      <tr><td><strong>Reglas cargadas</strong></td><td>412</td></tr>\n"
          "      <tr><td><strong>Version del motor</strong></td><td>0.1.0&lt;b&gt;</td></tr>\n"
          "    </table>\n"
          "  </div>\n"
          "\n"
          "  <div class=\"card\">\n"
          "    <h2>Resultados</h2>\n"
          "    <div class=\"stats-grid\">\n"
          "      <div class=\"stat\"><div class=\"value\">5</div><div "
          "class=\"label\">Archivos escaneados</div></div>\n"
          "      <div class=\"stat infected\"><div class=\"value\">2</div><div "
          "class=\"label\">Amenazas</div></div>\n"
          "      <div class=\"stat clean\"><div class=\"value\">1</div><div "
          "class=\"label\">Limpios</div></div>\n"
          "      <div class=\"stat\"><div class=\"value\">1</div><div "
          "class=\"label\">Errores</div></div>\n"
          "    </div>\n"
          "  </div>\n"
          "\n"
          "  <div class=\"card\">\n"
          "    <h2>Amenazas Detectadas</h2>\n"
          "    <table>\n"
          "      <tr><th>Archivo</th><th>Amenaza</th></tr>\n"
          "      <tr><td>C:\\a\\tool.exe</td><td><span class=\"tag "
          "tag-danger\">Trojan_&lt;Generic&gt;</span></td></tr>\n"
          "      <tr><td>C:\\b &amp; c.exe</td><td><span class=\"tag "
          "tag-danger\">Desconocida</span></td></tr>\n"
          "    </table>\n"
          "  </div>\n"
          "\n"
          "  <div class=\"card\">\n"
          "    <h2>Errores</h2>\n"
          "    <table>\n"
          "      <tr><th>Archivo</th><th>Error</th></tr>\n"
          "      <tr><td>C:\\locked.bin</td><td><span class=\"tag tag-warn\">Filesystem "
          "error: it&#39;s &quot;locked&quot;</span></td></tr>\n"
          "      <tr><td>C:\\bare-error</td><td><span class=\"tag tag-warn\">Error "
          "desconocido</span></td></tr>\n"
          "    </table>\n"
          "  </div>\n"
          "\n"
          "  <div class=\"footer\">Generado por Norvid Shield v0.1.0<b> &mdash; 2026-12-06 "
          "19:23:21 &lt;z&gt;</div>\n"
          "</div>\n"
          "</body>\n"
          "</html>\n");
}

TEST(ScanReportHtml, CleanScan) {
  ScanReport report = fixedReport("/home/user");
  report.addResult("/home/user/a.txt", "CLEAN", "");
  report.addResult("/home/user/b.txt", "CLEAN", "");

  EXPECT_EQ(report.toHtml(),
            kHead +
                "  <div class=\"status-banner success\">\n"
                "    <span class=\"icon\">&#10004;</span>\n"
                "    <span class=\"label\">SISTEMA LIMPIO</span>\n"
                "  </div>\n"
                "\n"
                "  <div class=\"card\">\n"
                "    <h2>Informacion del Escaneo</h2>\n"
                "    <table>\n"
                "      <tr><td><strong>ID</strong></td><td>1733489000-4821</td></tr>\n"
                "      <tr><td><strong>Tipo</strong></td><td>manual</td></tr>\n"
                "      <tr><td><strong>Objetivo</strong></td><td>/home/user</td></tr>\n"
                "      <tr><td><strong>Inicio</strong></td><td>2026-12-06 19:23:20</td></tr>\n"
                "      <tr><td><strong>Fin</strong></td><td>2026-12-06 19:23:21</td></tr>\n"
                "      <tr><td><strong>Duracion</strong></td><td>0.8 segundos</td></tr>\n"
                "      <tr><td><strong>Reglas cargadas</strong></td><td>412</td></tr>\n"
                "      <tr><td><strong>Version del motor</strong></td><td>0.1.0</td></tr>\n"
                "    </table>\n"
                "  </div>\n"
                "\n"
                "  <div class=\"card\">\n"
                "    <h2>Resultados</h2>\n"
                "    <div class=\"stats-grid\">\n"
                "      <div class=\"stat\"><div class=\"value\">2</div><div "
                "class=\"label\">Archivos escaneados</div></div>\n"
                "      <div class=\"stat clean\"><div class=\"value\">0</div><div "
                "class=\"label\">Amenazas</div></div>\n"
                "      <div class=\"stat clean\"><div class=\"value\">2</div><div "
                "class=\"label\">Limpios</div></div>\n"
                "      <div class=\"stat\"><div class=\"value\">0</div><div "
                "class=\"label\">Errores</div></div>\n"
                "    </div>\n"
                "  </div>\n"
                "\n"
                "  <div class=\"footer\">Generado por Norvid Shield v0.1.0 &mdash; 2026-12-06 "
                "19:23:21</div>\n"
                "</div>\n"
                "</body>\n"
                "</html>\n");
}

TEST(ScanReportHtml, EntrySplitsAtFirstSeparator) {
  ScanReport report;
  report.threats = {"/x | A | B"};
  EXPECT_NE(report.toHtml().find("<tr><td>/x</td><td><span class=\"tag tag-danger\">A | B</span>"),
            std::string::npos);
}

TEST(ScanReportFiles, WriteReportFollowsExtension) {
  TempDir dir;
  ScanReport report = fixedReport("/t");
  const std::vector<std::pair<std::string, bool>> cases = {
      {"r.html", true},  {"r.htm", true},  {"r.HTML", true}, {"r.Htm", true},
      {"r.json", false}, {"r.txt", false}, {"noext", false}, {"r.html.bak", false},
  };
  for (const auto& [name, html] : cases) {
    std::string path = (dir.path() / name).string();
    ASSERT_TRUE(report.writeReport(path)) << name;
    EXPECT_EQ(readFile(path), html ? report.toHtml() : report.toJson()) << name;
  }
}

TEST(ScanReportFiles, WriteReportReplacesAndReportsFailure) {
  TempDir dir;
  std::string path =
      dir.write("r.json", "old content that is longer than the new one, much longer");
  ScanReport report;
  ASSERT_TRUE(report.writeReport(path));
  EXPECT_EQ(readFile(path), report.toJson());

  std::string error;
  EXPECT_FALSE(report.writeReport((dir.path() / "missing" / "r.json").string(), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(fs::exists(dir.path() / "missing"));
}

std::set<std::string> namesIn(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

TEST(ScanReportFiles, SaveReportsCreatesDirectoryAndBothFiles) {
  TempDir dir;
  fs::path reports = dir.path() / "a" / "b" / "reports";
  ScanReport report = fixedReport("/t");
  report.addResult("/t/x", "INFECTED", "R");

  std::string jsonPath = report.saveReports(reports.string());

  EXPECT_EQ(report.scan_id, "1733489000-4821");
  EXPECT_EQ(jsonPath, reports.string() + "/scan-1733489000-4821.json");
  EXPECT_EQ(readFile(jsonPath), report.toJson());
  EXPECT_EQ(readFile(reports / "scan-1733489000-4821.html"), report.toHtml());
  EXPECT_EQ(namesIn(reports),
            (std::set<std::string>{"scan-1733489000-4821.json", "scan-1733489000-4821.html"}));
}

// What a crash during saves leaves behind goes at the next start; complete reports stay.
TEST(ScanReportFiles, InterruptedSavesAreRemovedAndCompleteReportsKept) {
  TempDir dir;
  ScanReport report = fixedReport("/t");
  const std::string reports = (dir.path() / "reports").string();
  report.saveReports(reports);
  dir.write("reports/.scan-1-1000.json.tmp-a1B2c3", "{\"half");  // cut short before its rename
  dir.write("reports/.scan-1-1000.html.tmp-Zz9yX8", "<html");
  dir.write("reports/scan-1-1000.html", "");        // claimed, JSON never written
  dir.write("reports/scan-2-2000.html", "<html>");  // written by hand: not a claim
  dir.write("reports/notes.txt", "");

  ScanReport::removeInterruptedSaves(reports);

  EXPECT_EQ(namesIn(reports),
            (std::set<std::string>{"scan-1733489000-4821.json", "scan-1733489000-4821.html",
                                   "scan-2-2000.html", "notes.txt"}));
  ScanReport::removeInterruptedSaves((dir.path() / "missing").string());  // no directory: nothing
}

TEST(ScanReportFiles, SaveReportsNeverReplacesAnExistingReport) {
  const std::vector<std::vector<std::string>> existing = {
      {"scan-1733489000-4821.json"},
      {"scan-1733489000-4821.html"},
      {"scan-1733489000-4821.json", "scan-1733489000-4821.html"},
  };
  for (const auto& names : existing) {
    TempDir dir;
    for (const std::string& name : names) dir.write("reports/" + name, "earlier report");
    ScanReport report = fixedReport("/t");

    std::string jsonPath = report.saveReports((dir.path() / "reports").string());

    EXPECT_NE(report.scan_id, "1733489000-4821");
    EXPECT_EQ(jsonPath, (dir.path() / "reports").string() + "/scan-" + report.scan_id + ".json");
    EXPECT_EQ(readFile(jsonPath), report.toJson());
    for (const std::string& name : names) {
      EXPECT_EQ(readFile(dir.path() / "reports" / name), "earlier report") << name;
    }
    EXPECT_EQ(namesIn(dir.path() / "reports").size(), names.size() + 2);
  }
}

TEST(ScanReportFiles, ConcurrentReportsWithTheSameIdentifierAllSurvive) {
  TempDir dir;
  const std::string reports = (dir.path() / "reports").string();
  constexpr int kReports = 8;
  std::vector<ScanReport> saved(kReports, fixedReport("/t"));
  std::vector<std::thread> threads;
  for (int i = 0; i < kReports; ++i) {
    threads.emplace_back([&saved, &reports, i] {
      saved[i].files_scanned = i;
      saved[i].saveReports(reports);
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::string> ids;
  for (const ScanReport& report : saved) {
    ids.insert(report.scan_id);
    EXPECT_EQ(readFile(reports + "/scan-" + report.scan_id + ".json"), report.toJson());
    EXPECT_EQ(readFile(reports + "/scan-" + report.scan_id + ".html"), report.toHtml());
  }
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kReports));
  EXPECT_EQ(namesIn(reports).size(), 2u * kReports);
}

TEST(ScanReportFiles, SaveReportsNamesCreateDirectoriesWhenTheDirectoryCannotBeMade) {
  TempDir dir;
  std::string blocker = dir.write("blocker", "a file where the directory should be");
  for (const std::string& reports : {blocker, blocker + "/reports"}) {
    ScanReport report = fixedReport("/t");
    try {
      report.saveReports(reports);
      ADD_FAILURE() << "expected a filesystem error for " << reports;
    } catch (const fs::filesystem_error& error) {
      EXPECT_NE(std::string(error.what()).find("create_directories"), std::string::npos)
          << error.what();
    }
  }
  EXPECT_EQ(readFile(blocker), "a file where the directory should be");
}

TEST(ScanReportCancelled, MarkedInBothReportsAndNothingElseChanges) {
  ScanReport report = fixedReport("/home/user");
  report.addResult("/home/user/tool.exe", "INFECTED", "Trojan_Generic");
  report.addError("/home/user/locked", "Permission denied");
  const std::string json = report.toJson();
  const std::string html = report.toHtml();
  report.cancelled = true;

  std::string expectedJson = json;
  const std::string before = "  \"threats\": [\n";
  expectedJson.insert(expectedJson.find(before), "  \"cancelled\": true,\n");
  EXPECT_EQ(report.toJson(), expectedJson);
  EXPECT_FALSE(nlohmann::json::parse(report.toJson()).is_discarded());

  std::string expectedHtml = html;
  const std::string card = "  <div class=\"card\">\n    <h2>Informacion del Escaneo</h2>";
  expectedHtml.insert(expectedHtml.find(card),
                      "  <div class=\"card\"><strong>Escaneo cancelado:</strong> el reporte cubre "
                      "solo los archivos escaneados antes de la cancelacion.</div>\n\n");
  EXPECT_EQ(report.toHtml(), expectedHtml);
}

}  // namespace
}  // namespace norvid
