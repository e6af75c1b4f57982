// Prints what an exclusion check costs: per call with 0 and 50 rules, against a directory walk
// that reads and YARA-scans every file, and the worst time of hostile pattern rules.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "exclusions/BoundedRegex.hpp"
#include "exclusions/ExclusionsManager.hpp"

// Last: the YARA headers define macros that clash with names in the C++ headers.
#include <yara.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using norvid::ExclusionsManager;

namespace {

double secondsOf(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Best of five runs, so other load on the machine does not inflate the figure.
double bestSecondsOf(const std::function<void()>& work) {
  double best = 1e30;
  for (int run = 0; run < 5; ++run) best = std::min(best, secondsOf(work));
  return best;
}

std::string writeRules(const fs::path& directory, const std::string& name,
                       const nlohmann::json& rules) {
  const fs::path file = directory / name;
  std::ofstream(file) << nlohmann::json{{"exclusions", rules}}.dump();
  return file.string();
}

nlohmann::json rule(const char* type, const std::string& value) {
  return {{"type", type}, {"value", value}};
}

// Fifty path rules as a user would write them: mostly folders, some with wildcards, none of
// which matches the scanned tree, so every check walks the whole list.
nlohmann::json fiftyPathRules() {
  nlohmann::json rules = nlohmann::json::array();
  for (int i = 0; i < 40; ++i) {
    rules.push_back(rule("path", "\\home\\user\\projects\\build-output-" + std::to_string(i)));
  }
  for (int i = 0; i < 10; ++i) {
    rules.push_back(rule("path", "\\home\\*\\cache-" + std::to_string(i) + "\\*.tmp"));
  }
  return rules;
}

void makeTree(const fs::path& root, int count) {
  std::string content(4096, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131) % 251);
  for (int i = 0; i < count; ++i) {
    const fs::path directory = root / ("dir" + std::to_string(i % 20)) / "src";
    fs::create_directories(directory);
    const fs::path file = directory / ("file_" + std::to_string(i) + ".dat");
    std::ofstream(file, std::ios::binary) << content;
  }
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct YaraRules {
  YR_RULES* rules = nullptr;
  YaraRules() {
    yr_initialize();
    YR_COMPILER* compiler = nullptr;
    yr_compiler_create(&compiler);
    std::string source;
    for (int i = 0; i < 50; ++i) {
      source += "rule bench_" + std::to_string(i) + " { strings: $a = \"norvid-bench-marker-" +
                std::to_string(i) + "\" $b = { 4D 5A 90 00 0" + std::to_string(i % 10) +
                " } condition: $a or $b }\n";
    }
    yr_compiler_add_string(compiler, source.c_str(), nullptr);
    yr_compiler_get_rules(compiler, &rules);
    yr_compiler_destroy(compiler);
  }
  ~YaraRules() {
    yr_rules_destroy(rules);
    yr_finalize();
  }
};

int countMatches(YR_SCAN_CONTEXT*, int message, void*, void* data) {
  if (message == CALLBACK_MSG_RULE_MATCHING) ++*static_cast<int*>(data);
  return CALLBACK_CONTINUE;
}

void benchChecks(const fs::path& work) {
  const std::string path = "/home/user/documents/reports/2024/quarterly/summary_final_v2.pdf";
  const int calls = 20000;
  std::printf("isExcluded, one path of %zu bytes, %d calls:\n", path.size(), calls);
  const struct {
    const char* name;
    nlohmann::json rules;
  } lists[] = {
      {"0 rules", nlohmann::json::array()},
      {"50 path rules", fiftyPathRules()},
      // Head and tail agree with the path, so each rule runs a full wildcard match.
      {"50 wildcard path rules",
       [] {
         nlohmann::json rules = nlohmann::json::array();
         for (int i = 0; i < 50; ++i) {
           rules.push_back(rule("path", "\\home\\*\\cache-" + std::to_string(i) + "\\*.pdf"));
         }
         return rules;
       }()},
      {"50 pattern rules",
       [] {
         nlohmann::json rules = nlohmann::json::array();
         for (int i = 0; i < 50; ++i) {
           rules.push_back(rule("pattern", ".*\\\\cache" + std::to_string(i) + "\\\\.*"));
         }
         return rules;
       }()},
  };
  for (const auto& list : lists) {
    ExclusionsManager exclusions(writeRules(work, "checks.json", list.rules));
    exclusions.initialize();
    bool any = false;
    const double seconds = bestSecondsOf([&] {
      for (int i = 0; i < calls; ++i) any |= exclusions.isExcluded(path, "");
    });
    std::printf("  %-24s %9.0f ns/call%s\n", list.name, seconds / calls * 1e9,
                any ? "  (matched!)" : "");
  }
}

void benchDirectoryScan(const fs::path& work) {
  const int count = 2000;
  makeTree(work / "tree", count);
  YaraRules yara;
  std::printf("\nDirectory walk of %d files of 4 KiB (read + YARA scan, 50 rules):\n", count);
  struct Variant {
    const char* name;
    ExclusionsManager exclusions;
    double best = 1e30;
    double checks = 0;
  };
  Variant variants[] = {
      {"0 rules", ExclusionsManager(writeRules(work, "scan0.json", nlohmann::json::array()))},
      {"50 path rules", ExclusionsManager(writeRules(work, "scan50.json", fiftyPathRules()))}};
  for (Variant& variant : variants) variant.exclusions.initialize();
  int matches = 0;
  int excluded = 0;
  // The variants take turns, so that a change in the machine's load hits both alike.
  for (int run = 0; run < 5; ++run) {
    for (Variant& variant : variants) {
      double checkSeconds = 0;
      const double seconds = secondsOf([&] {
        for (const auto& entry : fs::recursive_directory_iterator(work / "tree")) {
          if (!entry.is_regular_file()) continue;
          const std::string file = entry.path().string();
          const auto start = Clock::now();
          const bool skip = variant.exclusions.isExcluded(file, "");
          checkSeconds += std::chrono::duration<double>(Clock::now() - start).count();
          if (skip) {
            ++excluded;
            continue;
          }
          const std::string content = readWhole(file);
          yr_rules_scan_mem(yara.rules, reinterpret_cast<const uint8_t*>(content.data()),
                            content.size(), SCAN_FLAGS_FAST_MODE, countMatches, &matches, 0);
        }
      });
      if (seconds < variant.best) {
        variant.best = seconds;
        variant.checks = checkSeconds;
      }
    }
  }
  const double perFile = variants[0].best / count;
  for (const Variant& variant : variants) {
    std::printf("  %-14s %8.1f us/file, of which checks %5.2f us (%4.1f%% of a file's cost)%s\n",
                variant.name, variant.best / count * 1e6, variant.checks / count * 1e6,
                variant.checks / count / perFile * 100, excluded ? "  (excluded files!)" : "");
  }
}

void benchHostilePatterns(const fs::path& work) {
  std::printf("\nHostile pattern rules, worst single isExcluded call (budget: under 1 s):\n");
  const std::string nested = std::string(60, '(') + "a" + std::string(60, ')');
  const std::string hostile[] = {
      "(a*)*b",
      "(a|aa)*c",
      "(x+x+)+y",
      "(.*a){20}",
      "(.*.*.*.*.*.*.*.*.*.*)*z",
      "(.{0,60}){0,60}x",
      "([a-z]{0,100}){0,45}x",
      "(a?){2000}a{2000}",
      "(?:.?){1200}x",
      "(?:){2400}x",
      "(.|..){0,700}x",
      "((?=.*x).)*",
      "((?=((?=.*x).)*).)*",
      "(?=(.{0,40}){0,40}).*q",
      nested + "{0,5}x",
      "(a|b|c|d|e|f|g|h|i|j|k|l|m|n|o|p|q|r|s|t|u|v|w|x|y|z){0,300}x",
  };
  const std::size_t lengths[] = {64, 256, 1024, 4096, 32768};
  double worst = 0;
  for (const std::string& pattern : hostile) {
    ExclusionsManager exclusions(
        writeRules(work, "hostile.json", nlohmann::json::array({rule("pattern", pattern)})));
    exclusions.initialize();
    const std::optional<double> states = norvid::BoundedRegex::estimateStates(pattern);
    const bool compiles = norvid::BoundedRegex::compile(pattern).has_value();
    double patternWorst = 0;
    std::size_t worstLength = 0;
    for (std::size_t length : lengths) {
      for (char filler : {'a', 'x'}) {
        const std::string file = "/" + std::string(length - 1, filler);
        const double seconds = secondsOf([&] { exclusions.isExcluded(file, ""); });
        if (seconds > patternWorst) {
          patternWorst = seconds;
          worstLength = length;
        }
      }
    }
    worst = std::max(worst, patternWorst);
    std::printf("  %-44.44s states~%-9.0f %-8s worst %8.3f ms (path %zu)\n", pattern.c_str(),
                states.value_or(-1), compiles ? "runs" : "refused", patternWorst * 1e3,
                worstLength);
  }
  std::printf("  worst of all: %.3f s\n", worst);
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const fs::path work = fs::temp_directory_path() / "norvid-exclusions-bench";
  fs::remove_all(work);
  fs::create_directories(work);
  benchChecks(work);
  benchDirectoryScan(work);
  benchHostilePatterns(work);
  fs::remove_all(work);
  return 0;
}
