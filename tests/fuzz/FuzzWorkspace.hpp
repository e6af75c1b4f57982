#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace norvid::fuzzing {

// A private directory for one fuzzing process, "norvid-fuzz-<name>-<id>" in the system temporary
// directory, removed with everything in it when the process ends normally. Fuzz targets keep every
// file they make below it, and point the temporary directory there as well.
class FuzzWorkspace {
 public:
  explicit FuzzWorkspace(const std::string& name);
  ~FuzzWorkspace();
  FuzzWorkspace(const FuzzWorkspace&) = delete;
  FuzzWorkspace& operator=(const FuzzWorkspace&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string pathOf(const std::string& relative) const { return (path_ / relative).string(); }

  // Writes `bytes` to a file below the workspace (parents created) and returns its full path.
  // Throws std::runtime_error when it cannot be written.
  std::string write(const std::string& relative, std::string_view bytes) const;

  // Removes a file or directory tree below the workspace; a missing one is not an error.
  void remove(const std::string& relative) const;

  // Removes `relative` and creates it again as an empty directory; returns its full path.
  std::string freshDirectory(const std::string& relative) const;

  // Makes the workspace's "tmp" directory the system temporary directory (TMPDIR), so that what
  // the code under test puts there stays inside the workspace too.
  void redirectTemporaryDirectory() const;

 private:
  std::filesystem::path path_;
};

// The bytes of a file; empty when it cannot be read.
std::string readWholeFile(const std::filesystem::path& path);

}  // namespace norvid::fuzzing
