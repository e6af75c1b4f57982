#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "exclusions/BoundedRegex.hpp"
#include "exclusions/CompiledExclusion.hpp"
#include "exclusions/ExclusionsManager.hpp"
#include "tests/support/EventLogCapture.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using testing::EventLogCapture;
using testing::readFile;
using testing::TempDir;

std::string lowerBackslashed(std::string path) {
  for (char& c : path) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '/') c = '\\';
  }
  return path;
}

std::vector<fs::path> asideFiles(const fs::path& directory) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path().filename().string().starts_with("exclusions.json.corrupt-")) {
      files.push_back(entry.path());
    }
  }
  return files;
}

class ExclusionsManagerTest : public ::testing::Test {
 protected:
  std::string configPath() const { return (dir.path() / "config" / "exclusions.json").string(); }
  std::string writeConfig(const std::string& content) const {
    return dir.write("config/exclusions.json", content);
  }

  TempDir dir;
};

TEST(ExclusionPathsTest, NormalizePath) {
  const std::string cwd = lowerBackslashed(fs::current_path().string());
  const struct {
    std::string input;
    std::string expected;
  } cases[] = {
      {"C:\\Users\\User1\\Tools", "c:\\users\\user1\\tools"},
      {"C:/USERS/user1/tools/x.exe", "c:\\users\\user1\\tools\\x.exe"},
      {"c:\\a\\..\\..\\b\\.\\c", "c:\\b\\c"},
      {"/home/User/Tools", "\\home\\user\\tools"},
      {"\\home\\User", "\\home\\user"},
      {"/usr/bin/../lib/./x", "\\usr\\lib\\x"},
      {"/usr//bin", "\\usr\\bin"},
      {"/a/b/..", "\\a\\"},
      {"/a/./", "\\a\\"},
      {"/../x", "\\x"},
      {"/srv/data/", "\\srv\\data\\"},
      {"relative/File.TXT", cwd + "\\relative\\file.txt"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExclusionsManager::normalizePath(c.input), c.expected) << c.input;
  }
}

TEST(ExclusionPathsTest, WildcardToRegex) {
  EXPECT_EQ(ExclusionsManager::wildcardToRegex("a*b?c"), "a.*b.c");
  EXPECT_EQ(ExclusionsManager::wildcardToRegex("$()+.[\\]^{|}"),
            "\\$\\(\\)\\+\\.\\[\\\\\\]\\^\\{\\|\\}");
  EXPECT_EQ(ExclusionsManager::wildcardToRegex("x-y,z:/"), "x-y,z:/");
}

TEST(ExclusionPathsTest, MatchesPatternIsAFullCaseInsensitiveMatch) {
  const struct {
    std::string path;
    std::string pattern;
    bool expected;
  } cases[] = {
      {"c:\\users\\user2\\downloads\\a.tmp", "c:\\users\\*\\downloads\\*.tmp", true},
      {"c:\\users\\user2\\downloads\\a.tmp", "C:\\USERS\\*\\DOWNLOADS\\*.TMP", true},
      {"c:\\users\\user2\\downloads\\a.tmp", "users\\*", false},
      {"\\srv\\a1.log", "\\srv\\a?.log", true},
      {"\\srv\\a12.log", "\\srv\\a?.log", false},
      {"\\srv\\axlog", "\\srv\\a.log", false},
      {"\\srv\\(x)+[y]", "\\srv\\(x)+[y]", true},
      // Many wildcards over a long path stay polynomial.
      {"\\" + std::string(4000, 'a'), "*a*a*a*a*a*a*a*a*b", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExclusionsManager::matchesPattern(c.path, c.pattern), c.expected) << c.pattern;
  }
}

// Path rules match wildcards without running the expression; over every short pattern and path
// of a small alphabet (letters in both cases, separators, wildcards, a line break) the answer
// must be the expression's.
TEST(ExclusionPathsTest, PathRuleAgreesWithTheWildcardExpression) {
  const auto allStrings = [](const std::string& alphabet, std::size_t maxLength) {
    std::vector<std::string> all{""};
    for (std::size_t from = 0, length = 0; length < maxLength; ++length) {
      const std::size_t to = all.size();
      for (std::size_t i = from; i < to; ++i) {
        for (char c : alphabet) all.push_back(all[i] + c);
      }
      from = to;
    }
    return all;
  };
  const std::vector<std::string> patterns = allStrings("aA*?\\", 4);
  const std::vector<std::string> paths = allStrings("ab\\\n", 4);
  for (const std::string& pattern : patterns) {
    if (pattern.find_first_of("*?") == std::string::npos) continue;
    const CompiledExclusion rule(ExclusionEntry{ExclusionType::Path, pattern, ""});
    std::optional<BoundedRegex> regex =
        BoundedRegex::compile(ExclusionsManager::wildcardToRegex(pattern));
    ASSERT_TRUE(regex) << pattern;
    for (const std::string& path : paths) {
      const bool expected = path.starts_with(pattern) || regex->fullMatch(path);
      ASSERT_EQ(rule.matches(path, "", ""), expected) << pattern << " on " << path;
    }
  }
}

TEST_F(ExclusionsManagerTest, IsExcludedByRuleType) {
  using T = ExclusionType;
  const struct {
    std::vector<ExclusionEntry> rules;
    std::string file;
    std::string hash;
    bool expected;
  } cases[] = {
      {{{T::Path, "c:\\users\\user1\\tools", ""}}, "C:/USERS/user1/tools/x.exe", "", true},
      // A plain prefix: no separator is required after the rule's value.
      {{{T::Path, "c:\\users\\user1\\tools", ""}}, "C:\\Users\\User1\\ToolsOld\\y.exe", "", true},
      {{{T::Path, "c:\\users\\user1\\tools", ""}}, "C:\\Users\\User1\\Tool", "", false},
      {{{T::Path, "\\home\\user\\tools", ""}}, "/home/User/Tools/run.sh", "", true},
      {{{T::Path, "\\home\\user\\tools", ""}}, "/home/user/other/run.sh", "", false},
      {{{T::Path, "C:\\Data", ""}}, "c:\\data", "", true},
      {{{T::Path, "c:\\users\\*\\downloads\\*.tmp", ""}},
       "C:\\Users\\user2\\Downloads\\a.TMP",
       "",
       true},
      {{{T::Path, "c:\\users\\*\\downloads\\*.tmp", ""}},
       "C:\\Users\\user2\\Downloads\\a.txt",
       "",
       false},
      {{{T::Path, "\\srv\\*\\?.log", ""}}, "/srv/a/b/c.LOG", "", true},
      {{{T::Path, "\\srv\\*\\?.log", ""}}, "/srv/a/bc.log", "", false},
      {{{T::Path, "\\srv\\*\\?.log", ""}}, "/srv/a/.log", "", false},
      // '*' stands for ".*", and '.' does not match a line break.
      {{{T::Path, "\\srv\\*.log", ""}}, "/srv/a\nb.log", "", false},
      {{{T::Path, "\\srv\\*", ""}}, "/srv/a\nb", "", false},
      {{{T::Path, "", ""}}, "/any/file", "", true},
      {{{T::Extension, ".exe", ""}}, "SETUP.EXE", "", true},
      {{{T::Extension, ".exe", ""}}, "/opt/app/setup.exe", "", true},
      {{{T::Extension, ".exe", ""}}, "/opt/app/setup.exe.txt", "", false},
      {{{T::Extension, ".exe", ""}}, "/opt/app.exe/setup", "", false},
      {{{T::Extension, "exe", ""}}, "SETUP.EXE", "", false},
      {{{T::Extension, ".EXE", ""}}, "SETUP.EXE", "", false},
      {{{T::Extension, ".bashrc", ""}}, "/home/u/.bashrc", "", false},
      {{{T::Extension, ".bak", ""}}, "/home/u/.bashrc.bak", "", true},
      {{{T::Hash, "ab12cd", ""}}, "/x", "AB12CD", true},
      {{{T::Hash, "ab12cd", ""}}, "/x", "", false},
      {{{T::Hash, "", ""}}, "/x", "", false},
      {{{T::Pattern, ".*\\.log", ""}}, "/var/app/X.LOG", "", true},
      {{{T::Pattern, "log", ""}}, "/var/app/x.log", "", false},
      {{{T::Pattern, "\\\\var\\\\.*", ""}}, "/var/app/x.log", "", true},
      // An invalid expression never matches, and the rules after it are still tried.
      {{{T::Pattern, "([", ""}}, "/var/app/x.log", "", false},
      {{{T::Pattern, "([", ""}, {T::Extension, ".log", ""}}, "/var/app/x.log", "", true},
      // A back-reference cannot run on the polynomial engine: treated as not matching.
      {{{T::Pattern, "(.)\\1.*", ""}}, "/var", "", false},
      {{{T::Pattern, "(a*)*b", ""}}, "/" + std::string(5000, 'a'), "", false},
      {{}, "/any/file", "", false},
  };
  for (const auto& c : cases) {
    nlohmann::json rules = nlohmann::json::array();
    for (const ExclusionEntry& rule : c.rules) {
      rules.push_back({{"type", exclusionTypeWord(rule.type)}, {"value", rule.value}});
    }
    writeConfig(nlohmann::json{{"exclusions", rules}}.dump());
    ExclusionsManager list(configPath());
    ASSERT_TRUE(list.initialize());
    EXPECT_EQ(list.isExcluded(c.file, c.hash), c.expected) << c.file << " against " << rules.dump();
  }
}

TEST_F(ExclusionsManagerTest, AddRefusesProtectedPathsButNotTheirParents) {
  const struct {
    std::string path;
    bool accepted;
  } cases[] = {
      {"C:\\Windows\\System32\\drivers", false},
      {"c:/windows/system32", false},
      {"C:\\Windows\\System32x", false},
      {"C:\\Windows\\SysWOW64", false},
      {"C:\\Windows\\WinSxS\\x", false},
      {"C:\\Program Files\\Windows Defender", false},
      {"C:\\ProgramData\\Microsoft\\Windows Defender\\Scans", false},
      {"C:\\Windows", true},
      {"C:\\", true},
      {"/usr/bin", false},
      {"/usr/bin/python3", false},
      {"/usr/../usr/lib/x", false},
      {"/bin", false},
      {"/sbin", false},
      {"/lib64", false},
      {"/usr/sbin", false},
      {"/boot/grub", false},
      {"/etc/ssl", false},
      {"/usr", true},
      {"/home/user", true},
      // An empty path would exclude every file.
      {"", false},
  };
  for (const auto& c : cases) {
    TempDir own;
    ExclusionsManager list((own.path() / "exclusions.json").string());
    ASSERT_TRUE(list.initialize());
    EXPECT_EQ(list.addExclusion(c.path, ""), c.accepted) << c.path;
    EXPECT_EQ(list.getCount(), c.accepted ? 1u : 0u) << c.path;
  }
}

TEST_F(ExclusionsManagerTest, AddStoresNormalisedPathAndRefusesDuplicates) {
  ExclusionsManager list(configPath());
  ASSERT_TRUE(list.initialize());
  EXPECT_TRUE(list.addExclusion("C:\\Data\\Folder", "mine"));
  EXPECT_FALSE(list.addExclusion("C:/Data/Folder", "again"));
  EXPECT_FALSE(list.addExclusion("c:\\DATA\\folder", ""));
  EXPECT_TRUE(list.addExclusion("/home/User/Tools", ""));
  EXPECT_EQ(list.getExclusions(),
            (std::vector<ExclusionEntry>{{ExclusionType::Path, "c:\\data\\folder", "mine"},
                                         {ExclusionType::Path, "\\home\\user\\tools", ""}}));
}

TEST_F(ExclusionsManagerTest, AddRefusesTextsTheFileCannotHold) {
  ExclusionsManager list(configPath());
  ASSERT_TRUE(list.initialize());
  ASSERT_TRUE(list.addExclusion("/srv/a", ""));
  const std::string before = readFile(configPath());
  EXPECT_FALSE(list.addExclusion("/srv/\xff\xfe", ""));
  EXPECT_FALSE(list.addExclusion("/srv/b", "\xc3"));
  EXPECT_EQ(list.getCount(), 1u);
  EXPECT_EQ(readFile(configPath()), before);
  EXPECT_TRUE(list.addExclusion("/srv/b", "ok"));
  EXPECT_EQ(list.getCount(), 2u);
}

TEST_F(ExclusionsManagerTest, RemoveUsesTheKeyOfEachType) {
  writeConfig(R"({"exclusions":[
    {"type":"path","value":"\\srv\\one"},
    {"type":"extension","value":".log"},
    {"type":"hash","value":"ab12"},
    {"type":"pattern","value":"A.*"},
    {"type":"path","value":"\\srv\\two"}]})");
  ExclusionsManager list(configPath());
  ASSERT_TRUE(list.initialize());
  EXPECT_FALSE(list.removeExclusion(ExclusionType::Path, "/srv/none"));
  EXPECT_FALSE(list.removeExclusion(ExclusionType::Extension, "/srv/one"));
  EXPECT_FALSE(list.removeExclusion(ExclusionType::Pattern, "a.*"));
  EXPECT_TRUE(list.removeExclusion(ExclusionType::Path, "/SRV/One"));
  EXPECT_TRUE(list.removeExclusion(ExclusionType::Extension, ".LOG"));
  EXPECT_TRUE(list.removeExclusion(ExclusionType::Hash, "AB12"));
  EXPECT_TRUE(list.removeExclusion(ExclusionType::Pattern, "A.*"));
  EXPECT_EQ(list.getExclusions(),
            (std::vector<ExclusionEntry>{{ExclusionType::Path, "\\srv\\two", ""}}));
  EXPECT_FALSE(list.isExcluded("/var/x.log", ""));

  ExclusionsManager reloaded(configPath());
  ASSERT_TRUE(reloaded.initialize());
  EXPECT_EQ(reloaded.getExclusions(), list.getExclusions());
}

TEST_F(ExclusionsManagerTest, SavesSortedTwoSpaceJsonWithRawUtf8) {
  writeConfig(R"({"version":"0.9","exclusions":[
    {"value":"c:\\users\\user1\\tools","description":"Herramientas propias","type":"path"},
    {"type":"extension","value":".log"}]})");
  ExclusionsManager list(configPath());
  ASSERT_TRUE(list.initialize());
  ASSERT_TRUE(list.addExclusion("/srv/Datos", "Configuración"));
  EXPECT_EQ(readFile(configPath()),
            "{\n"
            "  \"exclusions\": [\n"
            "    {\n"
            "      \"description\": \"Herramientas propias\",\n"
            "      \"type\": \"path\",\n"
            "      \"value\": \"c:\\\\users\\\\user1\\\\tools\"\n"
            "    },\n"
            "    {\n"
            "      \"description\": \"\",\n"
            "      \"type\": \"extension\",\n"
            "      \"value\": \".log\"\n"
            "    },\n"
            "    {\n"
            "      \"description\": \"Configuración\",\n"
            "      \"type\": \"path\",\n"
            "      \"value\": \"\\\\srv\\\\datos\"\n"
            "    }\n"
            "  ],\n"
            "  \"version\": \"1.0\"\n"
            "}");
}

TEST_F(ExclusionsManagerTest, LoadShapes) {
  const struct {
    const char* name;
    std::optional<std::string> content;
    bool loaded;
    std::vector<ExclusionEntry> rules;
    bool keptAside;
  } cases[] = {
      {"missing file", std::nullopt, true, {}, false},
      {"no list", R"({"version":"1.0"})", true, {}, false},
      {"empty list", R"({"exclusions":[],"version":"1.0"})", true, {}, false},
      {"description optional",
       R"({"exclusions":[{"type":"hash","value":"ab"}]})",
       true,
       {{ExclusionType::Hash, "ab", ""}},
       false},
      {"list not an array", R"({"exclusions":{"type":"path","value":"\\a"}})", true, {}, true},
      {"top level an array", R"([{"type":"path","value":"\\a"}])", true, {}, true},
      {"non-string value",
       R"({"exclusions":[{"type":"path","value":"\\a"},{"type":"path","value":5},
                         {"type":"path","value":"\\c"}]})",
       false,
       {{ExclusionType::Path, "\\a", ""}},
       true},
      {"non-string type", R"({"exclusions":[{"type":0,"value":"\\a"}]})", false, {}, true},
      {"unknown type", R"({"exclusions":[{"type":"folder","value":"\\a"}]})", false, {}, true},
      {"missing type", R"({"exclusions":[{"value":"\\a"}]})", false, {}, true},
      {"non-string description",
       R"({"exclusions":[{"type":"path","value":"\\a","description":null}]})",
       false,
       {},
       true},
      {"rule not an object", R"({"exclusions":["\\a"]})", false, {}, true},
      {"unparseable", R"({"exclusions":[{"type":"path",)", false, {}, true},
      {"comment", R"({"exclusions":[] /* none */})", false, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir own;
    const fs::path config = own.path() / "exclusions.json";
    if (c.content) own.write("exclusions.json", *c.content);
    const std::size_t mark = EventLogCapture::instance().mark();
    {
      ExclusionsManager list(config.string());
      EXPECT_EQ(list.initialize(), c.loaded);
      EXPECT_EQ(list.getExclusions(), c.rules);
      EXPECT_TRUE(list.saveExclusions());
      EXPECT_TRUE(list.saveExclusions());
    }
    const std::vector<fs::path> aside = asideFiles(own.path());
    std::vector<std::string> warnings = EventLogCapture::instance().messagesSince(mark);
    if (c.keptAside) {
      ASSERT_EQ(aside.size(), 1u);
      EXPECT_EQ(readFile(aside[0]), *c.content);
      EXPECT_EQ(warnings,
                std::vector<std::string>{"[WRN] Archivo de exclusiones ilegible conservado como " +
                                         aside[0].string()});
    } else {
      EXPECT_TRUE(aside.empty());
      EXPECT_TRUE(warnings.empty());
    }
    // Whatever was read is what the file holds now.
    ExclusionsManager reloaded(config.string());
    EXPECT_TRUE(reloaded.initialize());
    EXPECT_EQ(reloaded.getExclusions(), c.rules);
  }
}

TEST_F(ExclusionsManagerTest, UnparseableReloadKeepsTheList) {
  writeConfig(R"({"exclusions":[{"type":"path","value":"\\srv"}]})");
  ExclusionsManager list(configPath());
  ASSERT_TRUE(list.initialize());
  writeConfig("not json");
  EXPECT_FALSE(list.loadExclusions());
  EXPECT_EQ(list.getCount(), 1u);
  EXPECT_TRUE(list.isExcluded("/srv/x", ""));
}

TEST_F(ExclusionsManagerTest, DestructorWritesTheFileOnlyOnceItWasLoaded) {
  {
    ExclusionsManager list(configPath());
    ASSERT_TRUE(list.initialize());
    EXPECT_FALSE(fs::exists(configPath()));
  }
  EXPECT_EQ(readFile(configPath()), "{\n  \"exclusions\": [],\n  \"version\": \"1.0\"\n}");

  const std::string held = R"({"exclusions":[{"type":"path","value":"\\srv"}]})";
  writeConfig(held);
  { ExclusionsManager neverLoaded(configPath()); }
  EXPECT_EQ(readFile(configPath()), held);
}

TEST_F(ExclusionsManagerTest, InitializeCreatesTheDirectory) {
  const std::string nested = (dir.path() / "a" / "b" / "exclusions.json").string();
  ExclusionsManager list(nested);
  EXPECT_TRUE(list.initialize());
  EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b"));

  // A file in place of the directory makes initialisation and saving fail.
  dir.write("blocked", "");
  ExclusionsManager blocked((dir.path() / "blocked" / "exclusions.json").string());
  EXPECT_FALSE(blocked.initialize());
  EXPECT_FALSE(blocked.saveExclusions());
}

TEST_F(ExclusionsManagerTest, ChecksSeeWholeListsWhileRulesChange) {
  ExclusionsManager list(configPath());
  ASSERT_TRUE(list.initialize());
  ASSERT_TRUE(list.addExclusion("/srv/always", ""));
  std::atomic<bool> wrong{false};
  std::atomic<bool> done{false};
  std::vector<std::thread> checkers;
  for (int t = 0; t < 3; ++t) {
    checkers.emplace_back([&] {
      do {
        if (!list.isExcluded("/srv/always/x", "")) wrong = true;
        if (list.isExcluded("/srv/never/x", "")) wrong = true;
      } while (!done);
    });
  }
  for (int i = 0; i < 10; ++i) {
    const std::string path = "/srv/changing" + std::to_string(i);
    EXPECT_TRUE(list.addExclusion(path, ""));
    EXPECT_TRUE(list.removeExclusion(ExclusionType::Path, path));
  }
  done = true;
  for (std::thread& checker : checkers) checker.join();
  EXPECT_FALSE(wrong);
  EXPECT_EQ(list.getCount(), 1u);
}

}  // namespace
}  // namespace norvid
