#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <vector>

#include "ipc/QuarantineCommands.hpp"
#include "quarantine/QuarantineManager.hpp"
#include "tests/support/EventLogCapture.hpp"
#include "tests/support/QuarantineStoreFixture.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::EventLogCapture;
using testing::QuarantineStoreFixture;

class QuarantineCommandsTest : public ::testing::Test {
 protected:
  json quarantine(const std::string& path, const CallerIdentity& caller = CallerIdentity{}) {
    return json::parse(commands.handleQuarantineFile(path, "Trojan_Generic", caller));
  }

  QuarantineStoreFixture store;
  QuarantineCommands commands{store.storeDir(), store.clock};
};

TEST_F(QuarantineCommandsTest, ListsAnEmptyOrMissingStore) {
  const std::string empty = R"({"command":"list_quarantine","count":0,"items":[],"status":"ok"})";
  EXPECT_EQ(commands.handleListQuarantine(), empty);
  EXPECT_EQ(commands.handleListQuarantine(), empty);
}

TEST_F(QuarantineCommandsTest, QuarantinesListsRestoresAndDeletes) {
  ::setenv("TZ", "NVT-2", 1);  // two hours east of UTC, without daylight saving
  ::tzset();
  std::string first = store.writeFile("a.exe", "aaaa");
  std::string second = store.writeFile("b.exe", "bbbb");

  json answer = quarantine(first);
  ASSERT_EQ(answer["status"], "ok") << answer;
  std::string firstId = answer["file_id"];
  EXPECT_EQ(answer, json({{"command", "quarantine_file"},
                          {"file_id", firstId},
                          {"message", "Archivo movido a cuarentena exitosamente"},
                          {"status", "ok"}}));
  std::string secondId = quarantine(second)["file_id"];

  std::string listing = commands.handleListQuarantine();
  EXPECT_EQ(listing, commands.handleListQuarantine());
  EXPECT_EQ(listing, json({{"command", "list_quarantine"},
                           {"count", 2},
                           {"items",
                            {{{"id", firstId},
                              {"original_path", first},
                              {"threat_name", "Trojan_Generic"},
                              {"timestamp", "06/12/2024 14:43:20"}},
                             {{"id", secondId},
                              {"original_path", second},
                              {"threat_name", "Trojan_Generic"},
                              {"timestamp", "06/12/2024 14:43:20"}}}},
                           {"status", "ok"}})
                         .dump());

  EXPECT_EQ(commands.handleRestoreQuarantine(firstId),
            R"({"command":"restore_quarantine","message":"Archivo restaurado exitosamente desde )"
            R"(la cuarentena","status":"ok"})");
  EXPECT_EQ(testing::readFile(first), "aaaa");
  EXPECT_EQ(commands.handleDeleteQuarantine(secondId),
            R"({"command":"delete_quarantine","message":"Archivo eliminado exitosamente de la )"
            R"(cuarentena","status":"ok"})");
  EXPECT_FALSE(fs::exists(second));
  EXPECT_EQ(json::parse(commands.handleListQuarantine())["count"], 0);
}

TEST_F(QuarantineCommandsTest, RestoresBesideAnOccupiedOriginalPath) {
  std::string path = store.writeFile("a.exe", "old");
  std::string id = quarantine(path)["file_id"];
  store.writeFile("a.exe", "new");
  EXPECT_EQ(json::parse(commands.handleRestoreQuarantine(id))["status"], "ok");
  EXPECT_EQ(testing::readFile(path), "new");
  EXPECT_EQ(testing::readFile(path + ".restored_1733489000"), "old");
}

TEST_F(QuarantineCommandsTest, AnswersTheFailureTexts) {
  const std::string missing = store.filesDir() + "/missing.exe";
  EXPECT_EQ(commands.handleQuarantineFile(missing, "T", CallerIdentity{}),
            R"({"error":"No se pudo cuarentenar el archivo.","status":"error"})");
  EXPECT_EQ(commands.handleDeleteQuarantine("unknown"),
            R"({"error":"No se pudo eliminar el archivo. Verifica que el ID sea válido.",)"
            R"("status":"error"})");
  EXPECT_EQ(commands.handleRestoreQuarantine("unknown"),
            R"({"error":"No se pudo restaurar el archivo. Verifica que el ID sea válido.",)"
            R"("status":"error"})");
}

TEST_F(QuarantineCommandsTest, ReportsAnUnreadableStoreInsteadOfListingIt) {
  fs::create_directories(store.storeDir());
  store.writeFile("../store/metadata.json", "{broken");
  json answer = json::parse(commands.handleListQuarantine());
  EXPECT_EQ(answer["status"], "error");
  EXPECT_EQ(answer["error"].get<std::string>().rfind("Error listing quarantine: ", 0), 0u);
  EXPECT_EQ(testing::readFile(store.metadataPath()), "{broken");
}

TEST_F(QuarantineCommandsTest, AnUnprivilegedCallerQuarantinesOnlyWhatItCouldDelete) {
  CallerIdentity nobody;
  nobody.known = true;
  nobody.uid = 65534;
  nobody.gid = 65534;
  std::string refused = store.writeFile("locked/a.exe", "a");
  // The kernel decides for the caller, so the folders above the files must be reachable by it.
  const std::string top = fs::path(store.filesDir()).parent_path().string();
  ASSERT_EQ(::chmod(top.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(store.filesDir().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((store.filesDir() + "/locked").c_str(), 0755), 0);
  std::string allowed = store.writeFile("open/b.exe", "b");
  ASSERT_EQ(::chmod((store.filesDir() + "/open").c_str(), 0777), 0);

  std::size_t mark = EventLogCapture::instance().mark();
  EXPECT_EQ(quarantine(refused, nobody)["error"], "No se pudo cuarentenar el archivo.");
  EXPECT_EQ(testing::readFile(refused), "a");
  std::vector<std::string> lines = EventLogCapture::instance().messagesSince(mark);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[ERR] "), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("acceso denegado"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("65534"), std::string::npos) << lines[0];

  EXPECT_EQ(quarantine(allowed, nobody)["status"], "ok");
  EXPECT_FALSE(fs::exists(allowed));
}

TEST_F(QuarantineCommandsTest, ConcurrentCommandsLoseNoRecord) {
  constexpr int kThreads = 6;
  constexpr int kFilesPerThread = 12;
  std::vector<std::vector<std::string>> kept(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kFilesPerThread; ++i) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        json answer = quarantine(store.writeFile(name, name));
        if (answer["status"] != "ok") continue;
        std::string id = answer["file_id"];
        // Every other file is deleted again at once, so deletes and quarantines interleave.
        if (i % 2 == 1 && json::parse(commands.handleDeleteQuarantine(id))["status"] == "ok") {
          continue;
        }
        kept[t].push_back(id);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::string> expected;
  for (const auto& ids : kept) expected.insert(ids.begin(), ids.end());
  EXPECT_EQ(expected.size(), std::size_t{kThreads * kFilesPerThread / 2});
  std::set<std::string> recorded;
  json metadata = store.metadata();
  for (const json& entry : metadata["entries"]) recorded.insert(entry["id"]);
  EXPECT_EQ(recorded, expected);
  std::set<std::string> copies;
  for (const auto& file : fs::directory_iterator(store.storeDir())) {
    if (file.path().extension() == ".qtn") copies.insert(file.path().stem().string());
  }
  EXPECT_EQ(copies, expected);
  EXPECT_TRUE(fs::is_empty(store.filesDir()));
}

}  // namespace
}  // namespace norvid
