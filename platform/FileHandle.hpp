#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace norvid::platform {

// What the file system says about one open file.
struct FileStatus {
  bool regular = false;
  bool directory = false;
  std::uint64_t size = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  // Permission bits with the set-id and sticky bits (07777).
  std::uint32_t mode = 0;

  bool sameFileAs(const FileStatus& other) const {
    return device == other.device && inode == other.inode;
  }
};

// How a new file's directory may be reached.
enum class DirectoryLinks {
  // Symbolic links on the way to the directory are followed, as by any open().
  Follow,
  // The directory must be reached without any symbolic link: the file is created exactly at the
  // path given, never somewhere a link points to.
  Refuse,
};

// Move-only owner of an open file descriptor; the descriptor is closed when the owner goes away.
// Every failing call returns false (or an empty value) and, when `error` is given, names the cause.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int descriptor) : descriptor_(descriptor) {}
  ~FileHandle();
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // Opens an existing regular file for reading. A symbolic link as the last component, a FIFO, a
  // device or a directory is refused without blocking.
  static FileHandle openForReading(const std::string& path, std::string* error = nullptr);

  // Creates a new file for writing with permissions `mode`. Fails when anything (a dangling
  // symbolic link included) already has that name; `alreadyExists` then becomes true.
  static FileHandle createExclusively(const std::string& path, std::filesystem::perms mode,
                                      DirectoryLinks links, std::string* error = nullptr,
                                      bool* alreadyExists = nullptr);

  bool isOpen() const { return descriptor_ >= 0; }
  int descriptor() const { return descriptor_; }

  std::optional<FileStatus> status(std::string* error = nullptr) const;

  // Reads up to `size` bytes at `offset`; returns the count (0 at the end) or -1 on failure.
  long long readAt(std::uint64_t offset, char* buffer, std::size_t size,
                   std::string* error = nullptr) const;
  // Reads `size` bytes from the start of the file, or fewer where it ends or a read fails;
  // returns how many were read.
  std::size_t readHead(unsigned char* buffer, std::size_t size) const;

  // Appends all of `data` at the current position.
  bool writeAll(const char* data, std::size_t size, std::string* error = nullptr);

  bool syncToDisk(std::string* error = nullptr);
  bool changeOwner(std::uint32_t uid, std::uint32_t gid, std::string* error = nullptr);

  // Closes now and reports a failure of the close itself (a late write error).
  bool close(std::string* error = nullptr);

 private:
  int descriptor_ = -1;
};

}  // namespace norvid::platform
