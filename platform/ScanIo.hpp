#pragma once

#include <string>

#include "platform/FileHandle.hpp"

namespace norvid::platform {

// Opens a file for scanning: read-only, never blocking (a FIFO or device opens at once and is
// then refused by its type), closed on exec. With `followLinks` false a symbolic link as the last
// component is refused (ELOOP).
Result<FileHandle> openForScanning(const std::string& path, bool followLinks);
// True when the file open on `descriptor` lies on a local disk or memory file system (ext4, xfs,
// btrfs, tmpfs), where its modification and status-change times change with every write. Network
// and FUSE file systems are not, nor is one fstatfs cannot name.
bool isOnLocalFileSystem(int descriptor);

// Sets the file offset of `descriptor` back to its start. False when the file cannot seek.
bool rewindDescriptor(int descriptor);

// Gives the heap memory that is free but still held by the allocator back to the system.
void releaseFreeMemory();

// Ends the process at once with `code`, without running destructors or exit handlers: for a stop
// while other threads still use objects that an orderly exit would destroy under them.
[[noreturn]] void exitImmediately(int code);

}  // namespace norvid::platform
