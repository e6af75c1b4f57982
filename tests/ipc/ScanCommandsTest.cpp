#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "ipc/ScanCommands.hpp"
#include "platform/Sha256.hpp"
#include "tests/ipc/CoreFixture.hpp"
#include "tests/support/EventLogCapture.hpp"
#include "tests/support/ScopedEnvironment.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using testing::CoreFixture;
using testing::EventLogCapture;

constexpr const char* kMarkerRule =
    "rule Test_Marker { strings: $a = \"NORVID-TEST-MARKER\" condition: $a }\n";
constexpr const char* kSecondRule =
    "rule Second_Marker { strings: $a = \"NORVID-SECOND\" condition: $a }\n";

class ScanCommandsTest : public ::testing::Test {
 protected:
  ScanCommandsTest() {
    fixture_.writeRule("marker.yar", kMarkerRule);
    fixture_.serve();
  }

  std::string file(const std::string& name, const std::string& content) {
    return fixture_.root().write("files/" + name, content);
  }
  nlohmann::json send(const nlohmann::json& request) { return fixture_.sendJson(request); }
  std::vector<std::string> logSince(std::size_t mark) {
    return EventLogCapture::instance().messagesSince(mark);
  }
  std::size_t mark() { return EventLogCapture::instance().mark(); }
  std::size_t amsiFilesLeft(const std::string& directory) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(directory)) {
      if (entry.path().filename().string().rfind("amsi", 0) == 0) ++count;
    }
    return count;
  }

  CoreFixture fixture_;
};

TEST_F(ScanCommandsTest, ScanOfFilesAnswersEveryMember) {
  const std::string clean = file("clean.txt", "nothing here");
  const std::string infected = file("bad.txt", "xx NORVID-TEST-MARKER xx");

  std::size_t before = mark();
  EXPECT_EQ(fixture_.send(nlohmann::json{{"command", "scan"}, {"path", clean}}.dump()),
            nlohmann::json({{"command", "scan"},
                            {"files_scanned", 1},
                            {"message", "El archivo está limpio. No se detectaron amenazas."},
                            {"path", clean},
                            {"result", "CLEAN"},
                            {"scan_type", "file"},
                            {"status", "ok"},
                            {"threats_found", 0}})
                .dump());
  nlohmann::json bad = send({{"command", "scan"}, {"path", infected}});
  EXPECT_EQ(bad["result"], "INFECTED");
  EXPECT_EQ(bad["threat_name"], "Test_Marker");
  EXPECT_EQ(bad["threats_found"], 1);
  EXPECT_EQ(bad["message"], "¡AMENAZA DETECTADA! Archivo infectado con: Test_Marker");
  EXPECT_EQ(logSince(before), (std::vector<std::string>{"[INF] Escaneo CLEAN: " + clean,
                                                        "[WRN] Escaneo INFECTED: " + infected +
                                                            " | Amenaza: Test_Marker"}));

  nlohmann::json status = send({{"command", "status"}});
  EXPECT_EQ(status["engine_ready"], true);
  EXPECT_EQ(status["rules_loaded"], 1);
  EXPECT_EQ(status["total_scans"], 2);
  EXPECT_EQ(status["total_threats"], 1);
  EXPECT_EQ(status["last_scan_path"], infected);
  EXPECT_EQ(status["last_threat_name"], "Test_Marker");
}

TEST_F(ScanCommandsTest, ScanOfDirectoriesCountsEntriesAndThreats) {
  const std::string empty = (fixture_.root().path() / "empty").string();
  fs::create_directories(empty);
  nlohmann::json none = send({{"command", "scan"}, {"path", empty}});
  EXPECT_EQ(none["files_scanned"], 0);
  EXPECT_EQ(none["result"], "CLEAN");
  EXPECT_EQ(none["message"],
            "Directorio limpio. Se escanearon 0 archivo(s) sin detectar amenazas.");
  EXPECT_FALSE(none.contains("infected_files"));

  file("tree/a.txt", "fine");
  const std::string bad = file("tree/sub/b.txt", "NORVID-TEST-MARKER");
  const std::string tree = (fixture_.root().path() / "files/tree").string();
  std::size_t before = mark();
  nlohmann::json response = send({{"command", "scan"}, {"path", tree}});
  EXPECT_EQ(response["scan_type"], "directory");
  EXPECT_EQ(response["files_scanned"], 2);
  EXPECT_EQ(response["threats_found"], 1);
  EXPECT_EQ(response["result"], "INFECTED");
  EXPECT_EQ(response["infected_files"], nlohmann::json::array({bad + " (Test_Marker)"}));
  EXPECT_EQ(response["message"], "Se detectaron 1 amenaza(s) en 2 archivo(s) escaneado(s).");
  EXPECT_FALSE(response.contains("threat_name"));
  EXPECT_EQ(logSince(before),
            std::vector<std::string>{"[WRN] Escaneo INFECTED (2 archivos): " + tree});
  nlohmann::json status = send({{"command", "status"}});
  EXPECT_EQ(status["total_threats"], 1);
  EXPECT_EQ(status["last_threat_name"], "");
  EXPECT_EQ(status["last_threat_path"], tree);
}

TEST_F(ScanCommandsTest, ScanErrorsChangeNoCounter) {
  const std::string missing = (fixture_.root().path() / "missing").string();
  const std::string fifo = (fixture_.root().path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::size_t before = mark();
  EXPECT_EQ(send({{"command", "scan"}, {"path", missing}})["error"],
            "La ruta no existe: " + missing);
  EXPECT_EQ(send({{"command", "scan"}, {"path", fifo}})["error"],
            "La ruta no es un archivo ni un directorio válido: " + fifo);
  EXPECT_EQ(send({{"command", "scan_realtime"}, {"path", missing}})["error"],
            "Archivo no existe: " + missing);
  EXPECT_EQ(send({{"command", "scan_realtime"}, {"path", fifo}})["error"],
            "La ruta no es un archivo válido");
  EXPECT_TRUE(logSince(before).empty());
  EXPECT_EQ(send({{"command", "status"}})["total_scans"], 0);
}

TEST_F(ScanCommandsTest, RealtimeScanQuarantinesWhatItFinds) {
  const std::string clean = file("clean.txt", "nothing");
  const std::string infected = file("bad.bin", "NORVID-TEST-MARKER");
  EXPECT_EQ(fixture_.send(nlohmann::json{{"command", "scan_realtime"}, {"path", clean}}.dump()),
            R"({"command":"scan_realtime","quarantined":false,"status":"clean","threat":null})");

  std::size_t before = mark();
  nlohmann::json threat = send({{"command", "scan_realtime"}, {"path", infected}});
  EXPECT_EQ(threat["status"], "threat");
  EXPECT_EQ(threat["threat"], "Test_Marker");
  EXPECT_EQ(threat["quarantined"], true);
  ASSERT_TRUE(threat.contains("quarantine_id"));
  EXPECT_FALSE(fs::exists(infected));
  EXPECT_EQ(logSince(before).back(),
            "[WRN] Amenaza en tiempo real: " + infected + " | Test_Marker [CUARENTENA]");

  nlohmann::json listing = send({{"command", "list_quarantine"}});
  ASSERT_EQ(listing["count"], 1) << listing;
  nlohmann::json status = send({{"command", "status"}});
  EXPECT_EQ(status["quarantine_count"], 1);
  EXPECT_EQ(status["total_scans"], 2);
  EXPECT_EQ(status["total_threats"], 1);
}

// The moment the service closes the file it scanned, the directory holding it is exchanged with a
// link to another directory holding a file of the same name. Whatever the timing, the quarantine
// moves the file that was scanned and never the other one.
TEST_F(ScanCommandsTest, RealtimeQuarantineMovesOnlyTheFileThatWasScanned) {
  const fs::path base = fixture_.root().path() / "files" / "race";
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    const fs::path user = base / std::to_string(round);
    const std::string scanned =
        file("race/" + std::to_string(round) + "/d/secret.conf", "NORVID-TEST-MARKER");
    const std::string other = file("race/other" + std::to_string(round) + "/secret.conf", "root");
    fs::create_directory_symlink(fs::path(other).parent_path(), user / "link");

    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, scanned.c_str(), IN_CLOSE_NOWRITE), 0);
    std::thread swapper([&] {
      pollfd ready{watch, POLLIN, 0};
      if (::poll(&ready, 1, 5000) == 1) {
        ::renameat2(AT_FDCWD, (user / "d").c_str(), AT_FDCWD, (user / "link").c_str(),
                    RENAME_EXCHANGE);
      }
    });
    const nlohmann::json answer = send({{"command", "scan_realtime"}, {"path", scanned}});
    swapper.join();
    ::close(watch);

    EXPECT_EQ(answer["status"], "threat") << answer;
    EXPECT_TRUE(fs::exists(other)) << "a file that was never scanned went to quarantine";
  }
}

// A client that passes the file it has open is answered about that file: the path only names it,
// and the quarantine moves it only while the path still names it.
TEST_F(ScanCommandsTest, RealtimeScanOfAPassedDescriptorJudgesThatOpenFile) {
  const std::string infected = file("passed/run.sh", "NORVID-TEST-MARKER");
  const int descriptor = ::open(infected.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(descriptor, 0);
  fs::rename(infected, infected + ".real");
  const std::string decoy = file("passed/run.sh", "clean decoy");

  std::size_t before = mark();
  nlohmann::json swapped =
      fixture_.sendJson({{"command", "scan_realtime"}, {"path", infected}}, descriptor);
  EXPECT_EQ(swapped["status"], "threat") << swapped;
  EXPECT_EQ(swapped["quarantined"], false);
  EXPECT_EQ(swapped["quarantine_error"], "El archivo cambió durante el escaneo");
  std::ifstream decoyFile(decoy);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(decoyFile), {}), "clean decoy");
  EXPECT_TRUE(fs::exists(infected + ".real"));
  const std::vector<std::string> lines = logSince(before);
  EXPECT_NE(
      std::find(lines.begin(), lines.end(),
                "[WRN] Cuarentena omitida: El archivo cambió durante el escaneo: " + infected),
      lines.end());

  fs::rename(infected + ".real", infected);
  nlohmann::json same =
      fixture_.sendJson({{"command", "scan_realtime"}, {"path", infected}}, descriptor);
  ::close(descriptor);
  EXPECT_EQ(same["quarantined"], true) << same;
  EXPECT_FALSE(fs::exists(infected));
}

TEST_F(ScanCommandsTest, AmsiScansContentWithoutLeavingFiles) {
  // A temporary directory of this test's own, so that nothing else's files are counted.
  const std::string temporary = (fixture_.root().path() / "tmp").string();
  fs::create_directories(temporary);
  testing::ScopedEnvironment privateTemporary("TMPDIR", temporary);
  std::size_t before = mark();
  nlohmann::json bad = send(
      {{"command", "scan_amsi"}, {"content", "NORVID-TEST-MARKER"}, {"content_name", "x.ps1"}});
  EXPECT_EQ(bad, nlohmann::json({{"content_name", "x.ps1"},
                                 {"engine", "yara"},
                                 {"is_malicious", true},
                                 {"status", "ok"},
                                 {"threat_name", "Test_Marker"}}));
  nlohmann::json clean = send({{"command", "scan_amsi"}, {"content", "Write-Host hi"}});
  EXPECT_EQ(clean["is_malicious"], false);
  EXPECT_EQ(clean["content_name"], "unknown_script");
  EXPECT_EQ(clean["threat_name"], "");
  EXPECT_EQ(send({{"command", "scan_amsi"}, {"content", ""}})["is_malicious"], false);
  EXPECT_EQ(logSince(before), std::vector<std::string>{
                                  "[WRN] AMSI: script malicioso bloqueado: x.ps1 | Test_Marker"});

  nlohmann::json status = send({{"command", "status"}});
  EXPECT_EQ(status["total_amsi_scans"], 3);
  EXPECT_EQ(status["total_amsi_threats"], 1);
  EXPECT_EQ(status["total_scans"], 0);
  EXPECT_EQ(amsiFilesLeft(temporary), 0u);
}

TEST_F(ScanCommandsTest, ReloadPicksUpNewRulesAndSurvivesAnEmptyDirectory) {
  const std::string second = file("second.txt", "NORVID-SECOND");
  EXPECT_EQ(send({{"command", "scan"}, {"path", second}})["result"], "CLEAN");

  std::size_t before = mark();
  nlohmann::json same = send({{"command", "reload_rules"}});
  EXPECT_EQ(same, nlohmann::json({{"hash_signatures_loaded", 0},
                                  {"message", "Reglas YARA recargadas: 1 reglas activas"},
                                  {"rules_loaded", 1},
                                  {"rules_path", fixture_.paths().rulesDir()},
                                  {"status", "ok"}}));
  EXPECT_EQ(
      logSince(before),
      (std::vector<std::string>{"[INF] Hot-reload de reglas iniciado",
                                "[INF] reload_rules: cargando desde " + fixture_.paths().rulesDir(),
                                "[INF] Reglas actualizadas: 1 reglas desde hot-reload"}));

  fixture_.writeRule("second.yar", kSecondRule);
  EXPECT_EQ(send({{"command", "reload_rules"}})["rules_loaded"], 2);
  EXPECT_EQ(send({{"command", "scan"}, {"path", second}})["threat_name"], "Second_Marker");

  fs::remove_all(fixture_.paths().rulesDir());
  fs::create_directories(fixture_.paths().rulesDir());
  EXPECT_EQ(send({{"command", "reload_rules"}})["error"],
            "reload_rules: no se pudieron cargar las reglas desde " + fixture_.paths().rulesDir());
  EXPECT_EQ(send({{"command", "scan"}, {"path", second}})["error"],
            "Motor YARA no inicializado. Verifica que exista el archivo rules/malware.yar");
  EXPECT_EQ(send({{"command", "scan_realtime"}, {"path", second}})["error"],
            "Motor YARA no inicializado");
  EXPECT_EQ(send({{"command", "scan_amsi"}, {"content", "x"}})["engine"], "unavailable");
  nlohmann::json status = send({{"command", "status"}});
  EXPECT_EQ(status["engine_ready"], false);
  EXPECT_EQ(status["rules_loaded"], 0);

  fixture_.writeRule("marker.yar", kMarkerRule);
  EXPECT_EQ(send({{"command", "reload_rules"}})["rules_loaded"], 1);
  EXPECT_EQ(send({{"command", "scan"}, {"path", second}})["result"], "CLEAN");
}

TEST_F(ScanCommandsTest, HashSignaturesLoadWithTheRulesAndAnswerLikeARule) {
  const std::string content = "bytes some feed published the hash of";
  const std::string listed = file("listed.bin", content);
  EXPECT_EQ(send({{"command", "scan"}, {"path", listed}})["result"], "CLEAN");
  fixture_.writeRule("feed.hsb", platform::Sha256::ofText(content) + ":" +
                                     std::to_string(content.size()) + ":Feed.Listed\n");

  std::size_t before = mark();
  nlohmann::json reload = send({{"command", "reload_rules"}});
  EXPECT_EQ(reload["rules_loaded"], 1) << "the rule count stays the rules'";
  EXPECT_EQ(reload["hash_signatures_loaded"], 1);
  nlohmann::json bad = send({{"command", "scan"}, {"path", listed}});
  EXPECT_EQ(bad["result"], "INFECTED");
  EXPECT_EQ(bad["threat_name"], "Feed.Listed");
  EXPECT_EQ(bad["message"], "¡AMENAZA DETECTADA! Archivo infectado con: Feed.Listed");
  const std::vector<std::string> log = logSince(before);
  EXPECT_NE(std::find(log.begin(), log.end(), "[INF] Firmas hash cargadas: 1"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "[WRN] Escaneo INFECTED: " + listed + " | Amenaza: Feed.Listed"),
            log.end());
  nlohmann::json status = send({{"command", "status"}});
  EXPECT_EQ(status["rules_loaded"], 1);
  EXPECT_EQ(status["hash_signatures_loaded"], 1);
}

TEST_F(ScanCommandsTest, AllowListDropsARuleAndClearsAFileFromTheNextReload) {
  // A starter rule that flags a download cradle (the Chocolatey install line of Node.js's
  // BUILDING.md, here outside the code block that keeps the real guide clean).
  fs::copy_file(std::string(NORVID_TEST_SOURCE_DIR) + "/../rules/norvid_starter.yar",
                fixture_.paths().rulesDir() + "/norvid_starter.yar");
  const std::string building = file("BUILDING.md",
                                    "This script will install the following Chocolatey packages:\n"
                                    "iex ((New-Object System.Net.WebClient).DownloadString("
                                    "'https://boxstarter.org/bootstrapper.ps1'))\n");
  const std::string marked = file("marked.txt", "xx NORVID-TEST-MARKER xx");
  const std::string alsoMarked = file("also-marked.txt", "other NORVID-TEST-MARKER");
  ASSERT_EQ(send({{"command", "reload_rules"}})["status"], "ok");
  EXPECT_EQ(send({{"command", "scan"}, {"path", building}})["threat_name"],
            "Script_PowerShell_Download_Cradle");

  fixture_.root().write("allow.d/local.conf",
                        "# Node.js documentation, not a script\n"
                        "rule Script_PowerShell_Download_Cradle\n"
                        "sha256 " +
                            platform::Sha256::ofText("xx NORVID-TEST-MARKER xx") +
                            "\n"
                            "sha256 not-a-digest\n");
  fixture_.root().write("allow.d/ignored.txt", "rule Test_Marker\n");
  EXPECT_EQ(send({{"command", "scan"}, {"path", marked}})["result"], "INFECTED")
      << "the list is read at start and by reload_rules only";

  std::size_t before = mark();
  ASSERT_EQ(send({{"command", "reload_rules"}})["status"], "ok");
  nlohmann::json building2 = send({{"command", "scan"}, {"path", building}});
  nlohmann::json marked2 = send({{"command", "scan"}, {"path", marked}});
  EXPECT_EQ(building2["result"], "CLEAN");
  EXPECT_EQ(marked2["result"], "CLEAN");
  EXPECT_EQ(send({{"command", "scan"}, {"path", alsoMarked}})["threat_name"], "Test_Marker");
  const std::vector<std::string> log = logSince(before);
  auto logged = [&](const std::string& line) {
    return std::find(log.begin(), log.end(), line) != log.end();
  };
  const std::string conf = fixture_.paths().allowDir + "/local.conf";
  EXPECT_TRUE(
      logged("[WRN] Lista de permitidos: línea omitida en " + conf + ":4: sha256 not-a-digest"));
  EXPECT_TRUE(
      logged("[INF] Lista de permitidos: regla Script_PowerShell_Download_Cradle "
             "descartada en " +
             building));
  EXPECT_TRUE(logged("[INF] Lista de permitidos: sha256 " +
                     platform::Sha256::ofText("xx NORVID-TEST-MARKER xx") +
                     " permitido, coincidencias descartadas en " + marked + ": Test_Marker"));

  fs::remove(conf);
  ASSERT_EQ(send({{"command", "reload_rules"}})["status"], "ok");
  EXPECT_EQ(send({{"command", "scan"}, {"path", building}})["result"], "INFECTED");
  EXPECT_EQ(send({{"command", "scan"}, {"path", marked}})["result"], "INFECTED");
}

TEST_F(ScanCommandsTest, ReloadWaitsForTheScanInProgress) {
  // A large tree keeps a scan busy while the reload is asked for; the scan must finish with the
  // rules it started with and the reload answer after it.
  for (int i = 0; i < 400; ++i) file("big/f" + std::to_string(i) + ".txt", std::string(2048, 'x'));
  file("big/zz.txt", "NORVID-TEST-MARKER");
  const std::string tree = (fixture_.root().path() / "files/big").string();
  fs::remove(fixture_.paths().rulesDir() + "/marker.yar");
  fixture_.writeRule("second.yar", kSecondRule);

  auto scan = std::async(std::launch::async, [&] {
    return send({{"command", "scan"}, {"path", tree}});
  });
  // The reload needs the lock exclusively, so whichever comes second waits for the first.
  nlohmann::json reload = send({{"command", "reload_rules"}});
  nlohmann::json scanned = scan.get();
  EXPECT_EQ(reload["status"], "ok");
  EXPECT_EQ(scanned["files_scanned"], 401);
  // Either the scan ran wholly on the old rules (marker found) or wholly on the new ones.
  EXPECT_TRUE(scanned["threats_found"] == 1 || scanned["threats_found"] == 0);
}

TEST(ScanCommandsStandaloneTest, ExcludedFilesAreSkipped) {
  CoreFixture fixture;
  fixture.writeRule("marker.yar", kMarkerRule);
  const std::string excluded = fixture.root().write("skip/me.txt", "NORVID-TEST-MARKER");
  nlohmann::json added =
      fixture.sendJson({{"command", "add_exclusion"}, {"path", fixture.root().str() + "/skip"}});
  ASSERT_EQ(added["status"], "ok") << added;
  nlohmann::json response = fixture.sendJson({{"command", "scan"}, {"path", excluded}});
  EXPECT_EQ(response["result"], "SKIPPED");
  EXPECT_EQ(response["message"], "Archivo omitido: Excluded by user");
  nlohmann::json realtime = fixture.sendJson({{"command", "scan_realtime"}, {"path", excluded}});
  EXPECT_EQ(realtime["status"], "error");
  EXPECT_EQ(realtime["error"], "Excluded by user");
  EXPECT_EQ(realtime["quarantined"], false);
  EXPECT_EQ(fixture.sendJson({{"command", "status"}})["total_scans"], 2);
}

}  // namespace
}  // namespace norvid
