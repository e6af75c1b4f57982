#pragma once

#include <cstdint>
#include <string>

#include "platform/FileHandle.hpp"

namespace norvid::platform {

// What fstat and fstatfs say about one open file: enough to know its type and size and to tell
// whether its content may have changed since it was last seen.
struct OpenFileFacts {
  bool regular = false;
  std::uint64_t size = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t modifiedNs = 0;
  std::int64_t changedNs = 0;
  // On a local disk or memory file system (ext4, xfs, btrfs, tmpfs), where the times above change
  // with every write. Network and FUSE file systems are not.
  bool localFileSystem = false;

  bool sameVersionAs(const OpenFileFacts& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modifiedNs == other.modifiedNs && changedNs == other.changedNs;
  }
};

// Opens a file for scanning: read-only, never blocking (a FIFO or device opens at once and is
// then refused by its type), closed on exec. With `followLinks` false a symbolic link as the last
// component is refused (ELOOP).
Result<FileHandle> openForScanning(const std::string& path, bool followLinks);
// Facts of the file open on `descriptor`; fails when fstat fails.
Result<OpenFileFacts> openFileFacts(int descriptor);

// Sets the file offset of `descriptor` back to its start. False when the file cannot seek.
bool rewindDescriptor(int descriptor);

// Gives the heap memory that is free but still held by the allocator back to the system.
void releaseFreeMemory();

// Ends the process at once with `code`, without running destructors or exit handlers: for a stop
// while other threads still use objects that an orderly exit would destroy under them.
[[noreturn]] void exitImmediately(int code);

}  // namespace norvid::platform
