#pragma once

#include <string>

#include "platform/FileHandle.hpp"
#include "platform/SystemError.hpp"

namespace norvid::platform {

// What a directory entry is, as far as the directory itself or a status query tells.
enum class EntryType { Regular, Directory, SymbolicLink, Other, Unknown };

struct DirectoryEntry {
  std::string name;
  EntryType type = EntryType::Unknown;
};

// Move-only owner of one open directory that is read entry by entry and through which its
// entries are opened relative to it (openat), so a walk never resolves a long path again. Every
// failing call answers the errno of the failed step.
class DirectoryStream {
 public:
  DirectoryStream() = default;
  ~DirectoryStream();
  DirectoryStream(DirectoryStream&& other) noexcept;
  DirectoryStream& operator=(DirectoryStream&& other) noexcept;
  DirectoryStream(const DirectoryStream&) = delete;
  DirectoryStream& operator=(const DirectoryStream&) = delete;

  // Opens the directory at `path`, following symbolic links on the way and at its end.
  static Result<DirectoryStream> open(const std::string& path);

  // Opens the subdirectory `name` of this directory; a symbolic link is refused (ELOOP).
  Result<DirectoryStream> openChild(const std::string& name) const;

  bool isOpen() const { return stream_ != nullptr; }

  // The status of the open directory itself (its device and inode tell it apart from a directory
  // put in its place later).
  Result<FileStatus> status() const;

  // Reads the next entry other than "." and ".." into `entry`: true when there was one, false at
  // the end; fails when reading fails.
  Result<bool> next(DirectoryEntry& entry);

  // The type of entry `name`, after following a symbolic link when `follow` is set. Never Unknown
  // when it works.
  Result<EntryType> typeOf(const std::string& name, bool follow) const;

  // Opens entry `name` for scanning: read-only, never blocking, closed on exec; a symbolic link is
  // followed only when `follow` is set.
  Result<FileHandle> openFile(const std::string& name, bool follow) const;

 private:
  explicit DirectoryStream(void* stream) : stream_(stream) {}
  // A stream over `descriptor`, the result of the open named by `step`; closed on failure.
  static Result<DirectoryStream> ofDescriptor(int descriptor, const std::string& step);
  int descriptor() const;
  void release();

  void* stream_ = nullptr;
};

}  // namespace norvid::platform
