#pragma once

#include <optional>
#include <string>

namespace norvid {

// How the value of an exclusion rule is compared with a file.
enum class ExclusionType { Path = 0, Extension = 1, Hash = 2, Pattern = 3 };

// One user rule: files matching `value` in the way `type` says are skipped by the scanner.
struct ExclusionEntry {
  ExclusionType type = ExclusionType::Path;
  std::string value;
  std::string description;

  bool operator==(const ExclusionEntry&) const = default;
};

// The word a type is written as in exclusions.json and in responses ("path", "extension", ...).
inline const char* exclusionTypeWord(ExclusionType type) {
  switch (type) {
    case ExclusionType::Path:
      return "path";
    case ExclusionType::Extension:
      return "extension";
    case ExclusionType::Hash:
      return "hash";
    case ExclusionType::Pattern:
      return "pattern";
  }
  return "path";
}

// The type a word names; empty for any other word.
inline std::optional<ExclusionType> exclusionTypeFromWord(const std::string& word) {
  if (word == "path") return ExclusionType::Path;
  if (word == "extension") return ExclusionType::Extension;
  if (word == "hash") return ExclusionType::Hash;
  if (word == "pattern") return ExclusionType::Pattern;
  return std::nullopt;
}

}  // namespace norvid
