#include "update/FeedCompiler.hpp"

#include <yara.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "engine/YaraCompiler.hpp"
#include "engine/YaraRules.hpp"

namespace norvid::update {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// The diagnostics of one file, gathered by libyara's callback.
struct Diagnostics {
  std::string errors;
  std::vector<std::string> warnings;
};

void onDiagnostic(int level, const char* fileName, int line, const YR_RULE* /*rule*/,
                  const char* message, void* user) {
  auto* diagnostics = static_cast<Diagnostics*>(user);
  try {
    const std::string text =
        std::filesystem::path(fileName != nullptr ? fileName : "?").filename().string() + ":" +
        std::to_string(line) + ": " + (message != nullptr ? message : "");
    if (level == YARA_ERROR_LEVEL_WARNING) {
      diagnostics->warnings.push_back(text);
    } else {
      if (!diagnostics->errors.empty()) diagnostics->errors += "; ";
      diagnostics->errors += text;
    }
  } catch (...) {
    // Nothing may unwind through libyara.
  }
}

// A compiler as the service uses one; empty when libyara cannot make one.
YaraCompiler makeCompiler(Diagnostics& diagnostics) {
  int code = 0;
  YaraCompiler compiler = YaraCompiler::create(code);
  if (!compiler) return compiler;
  yr_compiler_set_callback(compiler.get(), onDiagnostic, &diagnostics);
  yr_compiler_set_include_callback(compiler.get(), nullptr, nullptr, nullptr);
  return compiler;
}

// libyara's error count for the file, or -1 when it cannot be opened.
int addFile(YaraCompiler& compiler, const std::string& nameSpace, const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r"));
  if (!file) return -1;
  return yr_compiler_add_file(compiler.get(), file.get(), nameSpace.c_str(), path.c_str());
}

std::string nameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// Keeps libyara initialised for one compile.
class LibraryScope {
 public:
  LibraryScope() : ok_(yr_initialize() == ERROR_SUCCESS) {}
  ~LibraryScope() {
    if (ok_) yr_finalize();
  }
  LibraryScope(const LibraryScope&) = delete;
  LibraryScope& operator=(const LibraryScope&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

}  // namespace

CompileReport FeedCompiler::compile(const std::string& nameSpace,
                                    const std::vector<std::string>& files) const {
  CompileReport report;
  LibraryScope library;
  if (!library.ok()) {
    report.failure = "libyara could not be initialised";
    return report;
  }

  std::vector<std::string> alone;
  for (const std::string& path : files) {
    Diagnostics diagnostics;
    YaraCompiler compiler = makeCompiler(diagnostics);
    if (!compiler) {
      report.failure = "libyara could not create a compiler";
      return report;
    }
    const int errors = addFile(compiler, nameSpace, path);
    for (const std::string& warning : diagnostics.warnings) {
      report.warnings.push_back({nameOf(path), warning});
    }
    if (errors < 0) {
      report.setAside.push_back({nameOf(path), "cannot be opened"});
    } else if (errors > 0) {
      report.setAside.push_back({nameOf(path), diagnostics.errors});
    } else {
      alone.push_back(path);
    }
  }

  // libyara refuses any further file on a compiler that recorded an error, so after a clash the
  // compiler is built again from the files accepted so far.
  Diagnostics together;
  YaraCompiler compiler = makeCompiler(together);
  std::vector<std::string> accepted;
  for (const std::string& path : alone) {
    together.errors.clear();
    if (compiler && addFile(compiler, nameSpace, path) == 0) {
      accepted.push_back(path);
      continue;
    }
    report.setAside.push_back(
        {nameOf(path), "together with the files before it: " +
                           (together.errors.empty() ? std::string("failed") : together.errors)});
    compiler = makeCompiler(together);
    for (const std::string& kept : accepted) {
      if (compiler) addFile(compiler, nameSpace, kept);
    }
  }
  if (!compiler) {
    report.failure = "libyara could not create a compiler";
    return report;
  }
  if (accepted.empty()) return report;
  YR_RULES* raw = nullptr;
  if (yr_compiler_get_rules(compiler.get(), &raw) != ERROR_SUCCESS || raw == nullptr) {
    report.failure = "libyara could not build the rule set";
    return report;
  }
  YaraRules rules(raw);
  report.rules = 0;
  const YR_RULE* rule = nullptr;
  yr_rules_foreach(rules.get(), rule) { ++report.rules; }
  report.usable = std::move(accepted);
  return report;
}

}  // namespace norvid::update
