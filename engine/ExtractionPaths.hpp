#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace norvid {

// What one extraction created below its destination. Unless the extraction completed and called
// keep(), everything is removed again, newest first, so that a bomb or an error never leaves half
// a container behind. Also holds the path rules every reader follows when placing a member.
class ExtractionPaths {
 public:
  ExtractionPaths() = default;
  ExtractionPaths(const ExtractionPaths&) = delete;
  ExtractionPaths& operator=(const ExtractionPaths&) = delete;
  ~ExtractionPaths();

  // Remembers a path this extraction created (a file or the outermost new directory).
  void add(std::filesystem::path path);
  // Creates the directory and its missing parents, remembering the outermost one it made.
  // Throws std::filesystem::filesystem_error.
  void createDirectories(const std::filesystem::path& directory);
  void keep() { kept_ = true; }

  // True when something (a dangling link included) has that name.
  static bool exists(const std::filesystem::path& path);
  // True when `candidate` lies strictly below `root`, comparing whole path components (so that
  // "extract/av_extract_x-other" is not taken to lie inside "extract/av_extract_x").
  static bool liesInside(const std::filesystem::path& candidate, const std::filesystem::path& root);
  // `target` with the first "~N" suffix that names nothing yet, for a member whose name an earlier
  // member of the same container already used, so that both are written and scanned.
  static std::filesystem::path freeNameFor(const std::filesystem::path& target);
  // A relative path made of the safe elements of member name `name` ("/" between elements): no
  // root, no "." or ".." elements, control characters replaced, each element at most 200 bytes.
  // Empty when nothing is left.
  static std::filesystem::path safeRelativePath(const std::string& name);

 private:
  std::vector<std::filesystem::path> paths_;
  bool kept_ = false;
};

}  // namespace norvid
