#pragma once

#include <optional>
#include <string>

#include "platform/FileHandle.hpp"

namespace norvid::platform {

// A regular file opened through a handle on its directory. Reading it, checking who may delete
// it and removing it all refer to that same directory, even if a component of the path is
// replaced by a symbolic link meanwhile.
class PinnedFile {
 public:
  // Opens `path` (made absolute against the current directory). Fails when the last component
  // is a symbolic link or anything but a regular file; such a file is never opened.
  static Result<PinnedFile> open(const std::string& path);

  // The directory as actually reached (symbolic links resolved), without a trailing separator.
  const std::string& directoryPath() const { return directoryPath_; }
  // The directory path joined with the file name.
  std::string resolvedPath() const;
  const std::string& name() const { return name_; }

  const FileHandle& content() const { return file_; }
  const FileStatus& fileStatus() const { return fileStatus_; }
  const FileStatus& directoryStatus() const { return directoryStatus_; }

  // True when the thread's file-system identity may remove entries of the file's directory (write
  // and search permission, ACLs included, as the kernel decides). The sticky-directory rule is
  // left to the removal itself.
  Result<> mayRemove() const;

  // Removes the directory entry, but only while it still names the file that was opened; fails
  // with ESTALE when the name now refers to another file (or to none).
  Result<> removeIfUnchanged();

 private:
  PinnedFile() = default;

  FileHandle directory_;
  FileHandle file_;
  std::string directoryPath_;
  std::string name_;
  FileStatus fileStatus_;
  FileStatus directoryStatus_;
};

}  // namespace norvid::platform
