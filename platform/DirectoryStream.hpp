#pragma once

#include <string>

#include "platform/FileHandle.hpp"

namespace norvid::platform {

// What a directory entry is, as far as the directory itself or a status query tells.
enum class EntryType { Regular, Directory, SymbolicLink, Other, Unknown };

struct DirectoryEntry {
  std::string name;
  EntryType type = EntryType::Unknown;
};

// Move-only owner of one open directory that is read entry by entry and through which its
// entries are opened relative to it (openat), so a walk holds one descriptor per level and never
// resolves a long path again. Every failing call reports the errno in `error` (0 on success).
class DirectoryStream {
 public:
  DirectoryStream() = default;
  ~DirectoryStream();
  DirectoryStream(DirectoryStream&& other) noexcept;
  DirectoryStream& operator=(DirectoryStream&& other) noexcept;
  DirectoryStream(const DirectoryStream&) = delete;
  DirectoryStream& operator=(const DirectoryStream&) = delete;

  // Opens the directory at `path`, following symbolic links on the way and at its end.
  static DirectoryStream open(const std::string& path, int& error);

  // Opens the subdirectory `name` of this directory; a symbolic link is refused (ELOOP).
  DirectoryStream openChild(const std::string& name, int& error) const;

  bool isOpen() const { return stream_ != nullptr; }

  // The next entry other than "." and ".."; false at the end (error 0) or when reading fails.
  bool next(DirectoryEntry& entry, int& error);

  // The type of entry `name`, after following a symbolic link when `follow` is set.
  EntryType typeOf(const std::string& name, bool follow, int& error) const;

  // Opens entry `name` for scanning: read-only, never blocking, closed on exec; a symbolic link is
  // followed only when `follow` is set.
  FileHandle openFile(const std::string& name, bool follow, int& error) const;

 private:
  explicit DirectoryStream(void* stream) : stream_(stream) {}
  int descriptor() const;
  void release();

  void* stream_ = nullptr;
};

}  // namespace norvid::platform
