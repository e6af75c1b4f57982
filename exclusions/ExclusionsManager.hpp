#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "exclusions/ExclusionEntry.hpp"
#include "platform/JsonFileStore.hpp"

namespace norvid {

class CompiledExclusion;

// The user's exclusion rules, kept in exclusions.json, and the one question the scanner asks:
// is this file excluded? Paths inside the protected system directories can never be excluded.
// Every public member is safe to call from several threads at once.
class ExclusionsManager {
 public:
  // Keeps the list in `configPath`. Loads nothing: call initialize().
  explicit ExclusionsManager(const std::string& configPath);
  // Writes the list once more, unless it was never loaded nor changed (so a file that was never
  // read is not replaced by an empty list).
  ~ExclusionsManager();
  ExclusionsManager(const ExclusionsManager&) = delete;
  ExclusionsManager& operator=(const ExclusionsManager&) = delete;

  // Creates the directory of the file (with missing parents) and loads it. False on any error.
  bool initialize();

  // Rules the list holds at most; further adds are refused.
  static constexpr std::size_t kMaxExclusions = 1000;

  // Adds a rule of type path in normalised form and saves the file. False for a protected path,
  // a path that is already excluded, a full list or a save that failed (the file and the list
  // then stay as they were); `reason` names the last two.
  bool addExclusion(const std::string& path, const std::string& description,
                    std::string* reason = nullptr);

  // Removes the first rule of `type` whose value equals `value` (normalised for paths, lower case
  // for extensions and hashes) and saves the file. False when there is none, or when the save
  // failed (the file and the list then stay as they were, and `reason` says so).
  bool removeExclusion(ExclusionType type, const std::string& value, std::string* reason = nullptr);

  // True when the first matching rule excludes the file. `fileHash` may be empty (hash rules then
  // never match). Called by the scanner for every file, archive members included.
  bool isExcluded(const std::string& filePath, const std::string& fileHash) const;

  std::vector<ExclusionEntry> getExclusions() const;
  std::size_t getCount() const;

  // Grows with every change of the list (added, removed or reloaded rules), so that whoever keeps
  // verdicts made under the list can tell when they no longer hold.
  std::uint64_t generation() const { return generation_.load(); }

  // True when `path` lies inside (or is) one of the protected directories.
  bool isProtectedPath(const std::string& path) const;

  // Replaces the list with the file's rules; a missing file leaves the list as it is. False when
  // the file cannot be read or parsed, or holds a rule of the wrong shape; such a file is moved
  // aside as "<file>.corrupt-<seconds>" on the next save, so its rules are not overwritten.
  bool loadExclusions();

  // Writes the list atomically. False (old file intact) when it cannot be serialised or written.
  bool saveExclusions();

  const std::string& configPath() const { return configPath_; }
  const std::set<std::string>& protectedPaths() const { return protectedPaths_; }

  // Absolute, lower-case (ASCII), every '/' replaced by '\'; `.` and `..` resolved lexically.
  // A path that cannot be made absolute is returned unchanged.
  static std::string normalizePath(const std::string& path);

  // A wildcard pattern ('*' any run, '?' any one character) as an ECMAScript regex text.
  static std::string wildcardToRegex(const std::string& pattern);

  // True when the wildcard `pattern` matches the whole of `normalizedPath`, ignoring case.
  // A pattern that fails to compile or to run gives false.
  static bool matchesPattern(const std::string& normalizedPath, const std::string& pattern);

 private:
  using MatcherList = std::vector<CompiledExclusion>;

  bool loadLocked();
  bool saveLocked();

  std::string configPath_;
  // exclusions.json. When it held rules that could not be read, the next save moves it aside
  // before writing, so those rules are not lost.
  platform::JsonFileStore file_;
  std::vector<ExclusionEntry> exclusions_;
  // The rules compiled for matching, in list order. Replaced whole on every change, so a check
  // that took it keeps seeing one complete list without holding the lock while it matches.
  std::shared_ptr<const MatcherList> matchers_;
  mutable std::mutex mutex_;
  std::set<std::string> protectedPaths_;
  std::vector<std::string> normalizedProtected_;
  bool loadAttempted_ = false;
  bool changed_ = false;
  std::atomic<std::uint64_t> generation_{0};
};

}  // namespace norvid
