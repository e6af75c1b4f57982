#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "tests/ipc/CoreFixture.hpp"
#include "tests/support/OpenGate.hpp"
#include "tests/support/ScopedEnvironment.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The entropy of every prefix of the file: quadratic in its size, so a few milliseconds for each
// of the small files below and a tree of a few hundred of them takes seconds to scan.
const char* const kSlowRule =
    "import \"math\"\n"
    "rule Slow_Test { condition: for any i in (0..filesize - 1) : "
    "(math.entropy(0, i + 1) > 100.0) }\n"
    "rule Test_Marker { strings: $a = \"NORVID-TEST-MARKER\" condition: $a }\n";
constexpr int kTreeFiles = 400;

const char* const kOutsider = "--reuid=65534 --regid=100 --clear-groups";

// Deterministic text files, different in every tree so that no verdict is ever reused.
std::string makeTree(const testing::TempDir& root, const std::string& name) {
  std::uint32_t state = static_cast<std::uint32_t>(std::hash<std::string>{}(name));
  for (int i = 0; i < kTreeFiles; ++i) {
    std::string content(2000, ' ');
    for (char& c : content) {
      state = state * 1664525u + 1013904223u;
      c = "abcdefghij0123 .,"[(state >> 16) % 17];
    }
    root.write(name + "/d" + std::to_string(i % 8) + "/f" + std::to_string(i) + ".txt", content);
  }
  return (root.path() / name).string();
}

std::string norvidctl() {
  const char* binaryDir = std::getenv("NORVID_TEST_BINARY_DIR");
  return binaryDir != nullptr ? std::string(binaryDir) + "/norvidctl" : "";
}

bool canRunClients() {
  return !norvidctl().empty() && std::system("command -v setpriv > /dev/null") == 0;
}

class ScanProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture.writeRule("slow.yar", kSlowRule);
    fixture.serve();
    fs::permissions(fixture.root().path(), fs::perms(0755));
  }

  // norvidctl as `identity` (setpriv options; empty for root), its output in `outputName`.
  std::string runClient(const std::string& identity, const std::string& arguments,
                        const std::string& outputName) const {
    const std::string output = fixture.root().str() + "/" + outputName;
    const std::string setpriv = identity.empty() ? "" : "setpriv " + identity + " ";
    const std::string command = "NORVID_SOCKET='" + fixture.paths().socketPath + "' " + setpriv +
                                "'" + norvidctl() + "' " + arguments + " --raw > '" + output +
                                "' 2>&1";
    std::system(command.c_str());
    return testing::readFile(output);
  }

  // Polls list_scans (as root) until `accept` takes a record of `path`; null json after a generous
  // bound, so a fault fails the test instead of hanging it.
  template <typename Accept>
  json waitForRecord(const std::string& path, Accept accept) {
    for (int attempt = 0; attempt < 3000; ++attempt) {
      const json list = fixture.sendJson({{"command", "list_scans"}});
      for (const json& record : list.at("scans")) {
        if (record.at("path") == path && accept(record)) return record;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return json();
  }

  testing::ScopedEnvironment adminGroup{"NORVID_ADMIN_GROUP", "nogroup"};
  testing::CoreFixture fixture;
};

TEST_F(ScanProgressTest, RunningScanShowsItsProgressOnlyToItsOwnerAndStopsWhenCancelled) {
  const std::string tree = makeTree(fixture.root(), "tree");
  fixture.root().write("tree/d3/marked.txt", "NORVID-TEST-MARKER");
  json answer;
  std::thread scan([&] { answer = fixture.sendJson({{"command", "scan"}, {"path", tree}}); });

  const json first = waitForRecord(tree, [](const json& r) { return r["files_scanned"] > 0; });
  ASSERT_TRUE(first.is_object()) << "the scan never showed progress";
  EXPECT_EQ(first.at("command"), "scan");
  EXPECT_EQ(first.at("uid"), 0);
  const std::int64_t id = first.at("scan_id");
  const json later = waitForRecord(tree, [&](const json& r) {
    return r["files_scanned"] > first["files_scanned"] && r.contains("total_files");
  });
  ASSERT_TRUE(later.is_object()) << "the count never grew or the total never came";
  EXPECT_EQ(later.at("total_files"), kTreeFiles + 1);
  EXPECT_GT(later.at("percent").get<double>(), 0.0);
  EXPECT_LT(later.at("percent").get<double>(), 100.0);
  EXPECT_TRUE(later.contains("seconds_left"));
  EXPECT_FALSE(later.at("current_file").get<std::string>().empty());

  if (canRunClients()) {
    EXPECT_EQ(runClient(kOutsider, "list_scans", "outsider.out"),
              "{\"command\":\"list_scans\",\"scans\":[],\"status\":\"ok\"}\n");
    EXPECT_EQ(runClient(kOutsider, "cancel_scan scan_id=" + std::to_string(id), "outsider.out"),
              "{\"error\":\"No hay ningún escaneo en curso con el identificador " +
                  std::to_string(id) + "\",\"status\":\"error\"}\n");
  }
  const json seen = waitForRecord(tree, [](const json&) { return true; });
  ASSERT_TRUE(seen.is_object()) << "the outsider's cancel stopped the scan";
  const json cancel = fixture.sendJson({{"command", "cancel_scan"}, {"scan_id", id}});
  EXPECT_EQ(cancel.at("status"), "ok");
  EXPECT_EQ(cancel.at("scan_id"), id);
  scan.join();

  EXPECT_EQ(answer.at("cancelled"), true);
  EXPECT_EQ(answer.at("scan_type"), "directory");
  EXPECT_GE(answer.at("files_scanned"), seen.at("files_scanned"));
  EXPECT_LT(answer.at("files_scanned"), kTreeFiles + 1);
  const std::string message =
      answer.at("threats_found") == 0
          ? "Directorio limpio. Se escanearon " + answer.at("files_scanned").dump() +
                " archivo(s) sin detectar amenazas."
          : "Se detectaron 1 amenaza(s) en " + answer.at("files_scanned").dump() +
                " archivo(s) escaneado(s).";
  EXPECT_EQ(answer.at("message"), message);
  EXPECT_EQ(fixture.sendJson({{"command", "list_scans"}}).at("scans"), json::array());

  // A scan that ran to its end answers as always, without the member.
  const std::string small = fixture.root().write("small/one.txt", "x");
  const json whole =
      fixture.sendJson({{"command", "scan"}, {"path", fs::path(small).parent_path().string()}});
  EXPECT_FALSE(whole.contains("cancelled"));
}

TEST_F(ScanProgressTest, UserCancelsOwnReportWhichIsWrittenMarkedCancelled) {
  if (!canRunClients()) GTEST_SKIP() << "needs setpriv and the built norvidctl";
  const std::string tree = makeTree(fixture.root(), "report-tree");
  std::string output;
  std::thread report(
      [&] { output = runClient(kOutsider, "generate_report path=" + tree, "report.out"); });

  const json record = waitForRecord(tree, [](const json& r) { return r["files_scanned"] > 0; });
  ASSERT_TRUE(record.is_object()) << "the report scan never showed progress";
  EXPECT_EQ(record.at("command"), "generate_report");
  EXPECT_EQ(record.at("uid"), 65534);
  const std::string id = record.at("scan_id").dump();
  const json ownList = json::parse(runClient(kOutsider, "list_scans", "own.out"));
  ASSERT_EQ(ownList.at("scans").size(), 1u);
  EXPECT_EQ(ownList.at("scans")[0].at("path"), tree);
  EXPECT_NE(runClient(kOutsider, "cancel_scan scan_id=" + id, "own.out").find("\"status\":\"ok\""),
            std::string::npos);
  report.join();

  const json answer = json::parse(output);
  EXPECT_EQ(answer.at("cancelled"), true);
  EXPECT_LT(answer.at("files_scanned"), kTreeFiles);
  const std::string jsonReport = testing::readFile(answer.at("report_json").get<std::string>());
  EXPECT_NE(jsonReport.find("  \"engine_version\": "), std::string::npos);
  EXPECT_NE(jsonReport.find("\n  \"cancelled\": true,\n  \"threats\": [\n"), std::string::npos);
  EXPECT_NE(
      testing::readFile(answer.at("report_html").get<std::string>()).find("Escaneo cancelado"),
      std::string::npos);

  EXPECT_EQ(fixture.sendJson({{"command", "cancel_scan"}, {"scan_id", 987654}}),
            json::parse(R"({"error":"No hay ningún escaneo en curso con el identificador 987654",)"
                        R"("status":"error"})"));
}

TEST_F(ScanProgressTest, NorvidctlOnATerminalDrawsTheBarAndCancelsOnCtrlC) {
  if (norvidctl().empty() || std::system("command -v script > /dev/null") != 0) {
    GTEST_SKIP() << "needs script(1) and the built norvidctl";
  }
  const std::string tree = makeTree(fixture.root(), "terminal-tree");
  // A scan that reaches this file waits there until the cancel has arrived, so it cannot end
  // before Ctrl-C however fast the machine is.
  testing::OpenGate gate(tree + "/d0/f0.txt");
  if (!gate.error().empty()) GTEST_SKIP() << "cannot hold a file's opens: " << gate.error();
  std::atomic<bool> clientDone{false};
  std::thread releaser([&] {
    while (!clientDone) {
      // Held in a local: a loop over a member of the temporary answer would read freed memory.
      const json answer = fixture.sendJson({{"command", "list_scans"}});
      for (const json& record : answer.at("scans")) {
        if (record.value("cancel_requested", false)) gate.release();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const std::string screen = fixture.root().str() + "/screen.txt";
  // Ctrl-C is typed into the pseudo-terminal once the bar shows, as a person would.
  const std::string command =
      "{ for i in $(seq 600); do grep -q archivos '" + screen +
      "' 2>/dev/null && break; sleep 0.05; done; printf '\\003'; } | NORVID_SOCKET='" +
      fixture.paths().socketPath + "' timeout 120 script -qfec \"'" + norvidctl() +
      "' scan path=" + tree + "\" '" + screen + "' > /dev/null 2>&1";
  std::system(command.c_str());
  clientDone = true;
  releaser.join();

  const std::string text = testing::readFile(screen);
  EXPECT_NE(text.find("archivos  0 amenazas"), std::string::npos) << text;
  // The partial answer is printed as text on a terminal, marked as cancelled.
  EXPECT_NE(text.find("Escaneo cancelado: el resultado cubre solo"), std::string::npos) << text;
  EXPECT_NE(text.find(" cancelado."), std::string::npos) << text;
  EXPECT_EQ(fixture.sendJson({{"command", "list_scans"}}).at("scans"), json::array());
}

}  // namespace
}  // namespace norvid
