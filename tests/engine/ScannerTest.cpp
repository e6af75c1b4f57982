#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/Scanner.hpp"
#include "engine/YaraEngine.hpp"
#include "exclusions/ExclusionsManager.hpp"
#include "tests/support/ArchiveFixtures.hpp"
#include "tests/support/PeImageBuilder.hpp"
#include "tests/support/RuleFixtures.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using norvid::testing::ArchiveFixtures;
using norvid::testing::ArchiveFormat;
using norvid::testing::ArchiveMember;
using norvid::testing::PeImageBuilder;
using norvid::testing::RuleFixtures;
using norvid::testing::TempDir;

const std::string kMarkerOne = "norvid-marker-one";
const std::string kMarkerTwo = "norvid-marker-two";

// A private folder for the scanner's extraction directories, so that tests can see every one it
// leaves behind.
class ExtractionScratch {
 public:
  explicit ExtractionScratch(fs::path directory) : directory_(std::move(directory)) {
    fs::create_directories(directory_);
  }
  std::string str() const { return directory_.string(); }
  bool isEmpty() const { return fs::is_empty(directory_); }

 private:
  fs::path directory_;
};

struct Console {
  std::string out;
  std::string err;
};

class ScannerTest : public ::testing::Test {
 protected:
  ScannerTest()
      : rules(temp.path() / "rules"),
        scratch(temp.path() / "tmp"),
        engine((temp.path() / "data").string()) {
    rules.write("one.yar", RuleFixtures::ruleMatching("R1", kMarkerOne));
    rules.write("two.yar", RuleFixtures::ruleMatching("R2", kMarkerTwo) + "\n\n");
    EXPECT_TRUE(engine.initialize());
    EXPECT_TRUE(engine.loadRulesFromDirectory(rules.str()));
  }

  // Scans one file with the console captured.
  ScanResult scan(Scanner& scanner, const std::string& path, Console* console = nullptr,
                  std::int32_t depth = 0, const std::string& container = "") {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    ScanResult result = scanner.scanFile(path, depth, container);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    if (console != nullptr) *console = {out, err};
    return result;
  }

  std::string archive(const std::string& name, ArchiveFormat format,
                      const std::vector<ArchiveMember>& members) {
    return ArchiveFixtures::write(temp.str() + "/samples/" + name, format, members);
  }

  TempDir temp;
  RuleFixtures rules;
  ExtractionScratch scratch;
  YaraEngine engine{temp.str()};
  Scanner scanner{&engine, true, true, nullptr, scratch.str()};
};

TEST_F(ScannerTest, PlainFilesGetTheirStatusAndReason) {
  const std::string infected = temp.write("f/infected.txt", kMarkerOne + " and " + kMarkerTwo);
  const std::string link = temp.str() + "/f/link-to-infected";
  fs::create_symlink(infected, link);
  const std::string dirLink = temp.str() + "/f/link-to-dir";
  fs::create_directory_symlink(temp.path() / "rules", dirLink);
  struct Case {
    const char* name;
    std::string path;
    std::int32_t depth;
    std::string container;
    ScanStatus status;
    std::string threat;
  };
  const std::vector<Case> cases = {
      {"missing", temp.str() + "/f/missing", 0, "", ScanStatus::ERROR, "File does not exist"},
      {"directory", temp.str() + "/f", 0, "", ScanStatus::SKIPPED, "Not a regular file"},
      {"link to a directory", dirLink, 0, "", ScanStatus::SKIPPED, "Not a regular file"},
      {"clean", temp.write("f/clean.txt", "harmless"), 0, "", ScanStatus::CLEAN, ""},
      {"empty", temp.write("f/empty.txt", ""), 0, "", ScanStatus::CLEAN, ""},
      {"two rules in engine order", infected, 0, "", ScanStatus::INFECTED, "R1, R2"},
      {"link given by the caller is followed", link, 0, "", ScanStatus::INFECTED, "R1, R2"},
      {"member keeps depth and container", infected, 2, "/x/outer.zip", ScanStatus::INFECTED,
       "R1, R2"},
      {"member that is a link is not followed", link, 1, "/x/outer.zip", ScanStatus::SKIPPED,
       "Not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScanResult result = scan(scanner, c.path, nullptr, c.depth, c.container);
    EXPECT_EQ(result.path, c.path);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.threat, c.threat);
    EXPECT_EQ(result.depth, c.depth);
    EXPECT_EQ(result.container, c.container);
    EXPECT_FALSE(result.peAnalyzed);
  }
}

TEST_F(ScannerTest, ExcludedFileIsSkippedBeforeMatching) {
  ExclusionsManager exclusions((temp.path() / "config" / "exclusions.json").string());
  ASSERT_TRUE(exclusions.initialize());
  const std::string excluded = temp.write("work/excluded.txt", kMarkerOne);
  ASSERT_TRUE(exclusions.addExclusion(excluded, "test"));
  Scanner withExclusions(&engine, true, true, &exclusions, scratch.str());

  Console console;
  ScanResult result = scan(withExclusions, excluded, &console);
  EXPECT_EQ(result.status, ScanStatus::SKIPPED);
  EXPECT_EQ(result.threat, "Excluded by user");
  EXPECT_EQ(console.out, "[INFO] Archivo excluido de escaneo: " + excluded + "\n");

  EXPECT_EQ(scan(withExclusions, temp.write("work/other.txt", kMarkerOne)).status,
            ScanStatus::INFECTED);
}

TEST_F(ScannerTest, ArchivesAreOpenedUpToThreeLevels) {
  const std::string outside = temp.write("outside/evil.txt", kMarkerOne);
  const ArchiveMember evil = ArchiveMember::file("evil.txt", kMarkerOne);
  const ArchiveMember harmless = ArchiveMember::file("readme.txt", "harmless");
  std::vector<ArchiveMember> bombThenEvil = {
      ArchiveMember::file("bomb.zip", ArchiveFixtures::build(ArchiveFormat::Zip,
                                                             ArchiveFixtures::numberedFiles(1001))),
      evil};
  struct Case {
    const char* name;
    std::string path;
    ScanStatus status;
    std::string threat;
    std::string stderrStart;  // a line the scan must write on the error stream, if any
  };
  const std::vector<Case> cases = {
      {"zip with a match", archive("a.zip", ArchiveFormat::Zip, {harmless, evil}),
       ScanStatus::INFECTED, "Contains: R1", ""},
      {"tar.gz with a match", archive("a.tar.gz", ArchiveFormat::TarGz, {evil}),
       ScanStatus::INFECTED, "Contains: R1", ""},
      {"7z with a match", archive("a.7z", ArchiveFormat::SevenZip, {evil}), ScanStatus::INFECTED,
       "Contains: R1", ""},
      {"clean archive", archive("clean.zip", ArchiveFormat::Zip, {harmless}), ScanStatus::CLEAN, "",
       ""},
      {"three levels deep",
       temp.write("samples/n3.zip", ArchiveFixtures::nested(ArchiveFormat::Zip, 3, evil)),
       ScanStatus::INFECTED, "Contains: Contains: Contains: R1", ""},
      {"four levels deep: the last archive is not opened",
       temp.write("samples/n4.zip", ArchiveFixtures::nested(ArchiveFormat::Zip, 4, evil)),
       ScanStatus::CLEAN, "", ""},
      {"archive that matches itself is not opened",
       archive("stored.zip", ArchiveFormat::StoredZip, {evil}), ScanStatus::INFECTED, "R1", ""},
      {"1001 entries",
       archive("bomb.zip", ArchiveFormat::Zip, ArchiveFixtures::numberedFiles(1001)),
       ScanStatus::SKIPPED, "Zip bomb detected", "[WARN] Zip bomb detectado: "},
      {"nested bomb does not stop the parent",
       archive("outer.zip", ArchiveFormat::Zip, bombThenEvil), ScanStatus::INFECTED, "Contains: R1",
       "[WARN] Zip bomb detectado: "},
      // Such members are what unzip and other tools write (or refuse to write) somewhere else;
      // their content is scanned all the same, inside the extraction directory.
      {"member named to climb out",
       archive("up.zip", ArchiveFormat::Zip,
               {harmless, ArchiveMember::file("../up.txt", kMarkerOne)}),
       ScanStatus::INFECTED, "Contains: R1", "[WARN] Path traversal attempt detected"},
      {"member with an absolute name",
       archive("abs.zip", ArchiveFormat::Zip, {ArchiveMember::file("/abs/evil.txt", kMarkerOne)}),
       ScanStatus::INFECTED, "Contains: R1", "[WARN] Path traversal attempt detected"},
      {"corrupt archive", temp.write("samples/corrupt.zip", "PK-this is not an archive"),
       ScanStatus::CLEAN, "", "[WARN] Error al procesar archivo comprimido: "},
      {"link member is not followed",
       archive("link.tar", ArchiveFormat::Tar,
               {ArchiveMember{"link.txt", outside, ArchiveMember::Type::Symlink}}),
       ScanStatus::CLEAN, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Console console;
    ScanResult result = scan(scanner, c.path, &console);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.threat, c.threat);
    EXPECT_EQ(result.depth, 0);
    EXPECT_EQ(result.container, "");
    if (!c.stderrStart.empty()) {
      EXPECT_NE(console.err.find(c.stderrStart), std::string::npos) << console.err;
    }
    const bool opened = c.threat != "R1";
    EXPECT_EQ(console.out.find("[INFO] Archivo comprimido detectado: " + c.path +
                               " (profundidad 0)") != std::string::npos,
              opened)
        << console.out;
    EXPECT_TRUE(scratch.isEmpty()) << "extraction directory left behind";
  }
  EXPECT_FALSE(fs::exists("/abs/evil.txt"));
  EXPECT_FALSE(fs::exists(temp.path() / "up.txt"));
}

TEST_F(ScannerTest, ArchiveScanningCanBeTurnedOff) {
  Scanner plain(&engine, false, true, nullptr, scratch.str());
  Console console;
  ScanResult result =
      scan(plain, archive("a.zip", ArchiveFormat::Zip, {ArchiveMember::file("e.txt", kMarkerOne)}),
           &console);
  EXPECT_EQ(result.status, ScanStatus::CLEAN);
  EXPECT_EQ(console.out, "");
}

TEST_F(ScannerTest, PortableExecutablesGetHeuristicsWithoutChangingTheVerdict) {
  // UPX0 (25) + one writable and executable section (15) + fewer than 3 sections (10) = 50.
  const std::string suspicious = temp.write(
      "pe/packed.exe", PeImageBuilder()
                           .section("UPX0", PeImageBuilder::kExecute | PeImageBuilder::kWrite,
                                    std::string(512, '\x01'))
                           .build());
  // UPX0 (25) + fewer than 3 sections (10) = 35.
  const std::string mild = temp.write(
      "pe/mild.exe",
      PeImageBuilder().section("UPX0", PeImageBuilder::kRead, std::string(512, '\x01')).build());
  const std::string infected =
      temp.write("pe/infected.exe",
                 PeImageBuilder().section(".data", PeImageBuilder::kRead, kMarkerTwo).build());
  const std::string mzOnly = temp.write("pe/mz.bin", "MZ but nothing more");
  const std::string kInfo = "[INFO] Ejecutable PE detectado, realizando análisis heurístico...\n";
  struct Case {
    const char* name;
    std::string path;
    bool heuristics;
    ScanStatus status;
    bool analyzed;
    std::int32_t score;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"score 50 warns", suspicious, true, ScanStatus::CLEAN, true, 50,
       kInfo + "[WARN] Análisis heurístico: Comportamiento sospechoso detectado (score: 50/100)\n"},
      {"score 35 is quiet", mild, true, ScanStatus::CLEAN, true, 35, kInfo},
      {"MZ without a PE header", mzOnly, true, ScanStatus::CLEAN, true, 0, kInfo},
      {"infected PE is analysed silently", infected, true, ScanStatus::INFECTED, true, 10, ""},
      {"heuristics off", suspicious, false, ScanStatus::CLEAN, false, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scanner withFlags(&engine, true, c.heuristics, nullptr, scratch.str());
    Console console;
    ScanResult result = scan(withFlags, c.path, &console);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.peAnalyzed, c.analyzed);
    EXPECT_EQ(result.pe.score, c.score);
    EXPECT_EQ(console.out, c.out);
  }
}

TEST_F(ScannerTest, DirectoryWalkReportsRegularFilesInWalkOrder) {
  const fs::path root = temp.path() / "tree";
  temp.write("tree/a.txt", "clean");
  temp.write("tree/sub/b.txt", kMarkerOne);
  temp.write("tree/sub/deeper/c.txt", "clean");
  temp.write("tree/z.zip", ArchiveFixtures::build(ArchiveFormat::Zip,
                                                  {ArchiveMember::file("in.txt", kMarkerTwo)}));
  const std::string elsewhere = temp.write("elsewhere/hidden.txt", kMarkerOne);
  fs::create_directory_symlink(temp.path() / "elsewhere", root / "linked-dir");
  fs::create_symlink(elsewhere, root / "linked-file");

  for (bool recursive : {true, false}) {
    SCOPED_TRACE(recursive ? "recursive" : "direct entries only");
    std::vector<std::string> expected;
    auto collect = [&](const fs::directory_entry& entry) {
      if (entry.is_regular_file()) expected.push_back(entry.path().string());
    };
    if (recursive) {
      for (const auto& entry : fs::recursive_directory_iterator(root)) collect(entry);
    } else {
      for (const auto& entry : fs::directory_iterator(root)) collect(entry);
    }

    ::testing::internal::CaptureStdout();
    DirectoryScanResult results = scanner.scanDirectory(root.string(), recursive);
    ::testing::internal::GetCapturedStdout();

    std::vector<std::string> paths;
    int infected = 0;
    for (const ScanResult& result : results) {
      paths.push_back(result.path);
      EXPECT_EQ(result.depth, 0);
      EXPECT_EQ(result.container, "");
      if (result.status == ScanStatus::INFECTED) ++infected;
    }
    EXPECT_EQ(paths, expected);
    // a.txt, z.zip, the file link; b.txt and c.txt only below; never hidden.txt through the link.
    EXPECT_EQ(results.size(), recursive ? 5u : 3u);
    EXPECT_EQ(infected, recursive ? 3 : 2);
    for (const std::string& path : paths) EXPECT_EQ(path.find("linked-dir"), std::string::npos);
  }
}

TEST_F(ScannerTest, DirectoryScanOfABadRootGivesOneErrorEntry) {
  const std::string file = temp.write("plain.txt", "x");
  const std::string missing = temp.str() + "/missing";
  fs::create_directories(temp.path() / "empty");
  struct Case {
    const char* name;
    std::string path;
    std::vector<std::string> threats;
  };
  const std::vector<Case> cases = {
      {"missing", missing, {"Directory does not exist"}},
      {"a file", file, {"Not a directory"}},
      {"empty", (temp.path() / "empty").string(), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DirectoryScanResult results = scanner.scanDirectory(c.path, true);
    std::vector<std::string> threats;
    for (const ScanResult& result : results) {
      threats.push_back(result.threat);
      EXPECT_EQ(result.path, c.path);
      EXPECT_EQ(result.status, ScanStatus::ERROR);
    }
    EXPECT_EQ(threats, c.threats);
  }
}

// Scans share the engine, the analyser and the temporary directory: each verdict must stay its own.
TEST_F(ScannerTest, ConcurrentScansGiveTheSameVerdicts) {
  const std::string zip =
      archive("c.zip", ArchiveFormat::Zip, {ArchiveMember::file("e.txt", kMarkerTwo)});
  const std::string clean = temp.write("c/clean.txt", "harmless");
  const std::string infected = temp.write("c/infected.txt", kMarkerOne);
  std::vector<std::vector<ScanResult>> verdicts(4);
  ::testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (auto& mine : verdicts) {
    threads.emplace_back([&, out = &mine] {
      for (int round = 0; round < 10; ++round) {
        for (const std::string& path : {zip, clean, infected}) {
          out->push_back(scanner.scanFile(path, 0, ""));
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ::testing::internal::GetCapturedStdout();
  for (const auto& mine : verdicts) {
    ASSERT_EQ(mine.size(), 30u);
    for (std::size_t i = 0; i < mine.size(); i += 3) {
      EXPECT_EQ(mine[i].threat, "Contains: R2");
      EXPECT_EQ(mine[i + 1].status, ScanStatus::CLEAN);
      EXPECT_EQ(mine[i + 2].threat, "R1");
    }
  }
  EXPECT_TRUE(scratch.isEmpty());
}

TEST(ScanStatusWordTest, WordsAreTheReportedNames) {
  EXPECT_STREQ(scanStatusWord(ScanStatus::CLEAN), "CLEAN");
  EXPECT_STREQ(scanStatusWord(ScanStatus::INFECTED), "INFECTED");
  EXPECT_STREQ(scanStatusWord(ScanStatus::ERROR), "ERROR");
  EXPECT_STREQ(scanStatusWord(ScanStatus::SKIPPED), "SKIPPED");
  EXPECT_EQ(static_cast<std::int32_t>(ScanStatus::SKIPPED), 3);
}

}  // namespace
}  // namespace norvid
