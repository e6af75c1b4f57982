#pragma once

#include <filesystem>
#include <string>

namespace norvid::testing {

// A fresh directory under the system temporary directory, removed with everything in it when the
// object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

  // Writes a file below the directory (parents created) and returns its full path.
  std::string write(const std::string& relative, const std::string& content) const;

 private:
  std::filesystem::path path_;
};

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

}  // namespace norvid::testing
