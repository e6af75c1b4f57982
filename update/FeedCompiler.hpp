#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/FeedState.hpp"

namespace norvid::update {

// What compiling a feed's rule files gave.
struct CompileReport {
  std::vector<std::string> usable;  // files that compiled alone and together
  std::vector<FileNote> setAside;   // files left out, with the compiler's message
  std::vector<FileNote> warnings;   // the compiler's warnings (slow strings, ...) per file
  std::int64_t rules = 0;
  std::string failure;  // a failure of the library itself; the version must not be installed
};

// Compiles a feed's YARA files the way the service loads them: in one namespace named after the
// feed, with the external variables every scan defines declared (YaraCompiler) and includes refused (a
// feed's file must not read other files of the machine). Each file alone first; then what
// remains together, where a file that clashes with those before it (a rule name defined twice)
// is set aside too.
class FeedCompiler {
 public:
  CompileReport compile(const std::string& nameSpace, const std::vector<std::string>& files) const;
};

}  // namespace norvid::update
