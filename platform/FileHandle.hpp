#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// What the file system says about one open file: its type, owner and permissions, and enough to
// tell whether its content may have changed since it was last seen.
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
  // Modification and status-change times in nanoseconds.
  std::int64_t modifiedNs = 0;
  std::int64_t changedNs = 0;
  // Names the file has; 0 once it was deleted while still open.
  std::uint64_t links = 0;

  bool sameFileAs(const FileStatus& other) const {
    return device == other.device && inode == other.inode;
  }
  // The same file, not written (nor its status changed) in between, as far as the file system's
  // times tell.
  bool sameVersionAs(const FileStatus& other) const {
    return sameFileAs(other) && size == other.size && modifiedNs == other.modifiedNs &&
           changedNs == other.changedNs;
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

// The status of the file open on `descriptor` (one fstat); the descriptor stays its owner's.
Result<FileStatus> statusOf(int descriptor);

// Move-only owner of an open file descriptor; the descriptor is closed when the owner goes away.
// Every failing call gives a Failure that names the step.
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
  static Result<FileHandle> openForReading(const std::string& path);

  // Creates a new file for writing with permissions `mode`. Fails when anything (a dangling
  // symbolic link included) already has that name, with the code EEXIST.
  static Result<FileHandle> createExclusively(const std::string& path, std::filesystem::perms mode,
                                              DirectoryLinks links);

  // A handle of its own on the open file that `descriptor` refers to (dup); the descriptor stays
  // its owner's.
  static Result<FileHandle> duplicate(int descriptor);

  bool isOpen() const { return descriptor_ >= 0; }
  int descriptor() const { return descriptor_; }

  Result<FileStatus> status() const;
  // Reads up to `size` bytes at `offset`; gives the count (0 at the end).
  Result<std::size_t> readAt(std::uint64_t offset, char* buffer, std::size_t size) const;
  // Reads `size` bytes from the start of the file, or fewer where it ends or a read fails;
  // returns how many were read.
  std::size_t readHead(unsigned char* buffer, std::size_t size) const;

  // Appends all of `data` at the current position.
  Result<> writeAll(const char* data, std::size_t size);
  Result<> syncToDisk();
  Result<> changeOwner(std::uint32_t uid, std::uint32_t gid);
  // Closes now and reports a failure of the close itself (a late write error).
  Result<> close();

 private:
  int descriptor_ = -1;
};

}  // namespace norvid::platform
