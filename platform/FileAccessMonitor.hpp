#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/FileHandle.hpp"
#include "platform/PermissionRequest.hpp"
#include "platform/SystemError.hpp"

namespace norvid::platform {

// Which version of which file an event was about: two identities are equal only when the file
// has not been written or changed in between.

// One event reported by the kernel.
struct FileAccessEvent {
  enum class Kind {
    // A file opened for writing was closed.
    ClosedAfterWrite,
    // A program is about to start from the file; it waits until `permission` is answered.
    AboutToExecute,
    // A name appeared in a directory: a file created, linked or moved there. `path` is the new
    // name and `content` the file opened through it (never through a symbolic link). Reported
    // only for a regular file with content that can still be opened by that name (one created
    // empty is reported by its close after writing).
    NameCreated,
    // The kernel's queue was full and events were lost; `detail` is "names" for the queue of
    // new names, empty for the queue of closes and starts.
    QueueOverflow,
    // Events could not be read (for instance no descriptor was left for the file); `detail`
    // says why. The kernel denies a held start it could not hand over.
    ReadFailed,
  };
  Kind kind = Kind::ClosedAfterWrite;
  // The process that caused the event.
  std::int32_t pid = 0;
  // The file's path as the kernel resolved it; empty when it has none any more (deleted). A file
  // still linked elsewhere whose event name was removed reads "<old path> (deleted)".
  std::string path;
  // The file's type, size, identity and times when the event came; all zero when they could not
  // be read.
  FileStatus file;
  // The file itself, open read-only, as the event named it (not set for the overflow or a failed
  // read): scanning it reads what the event was about, whatever its path names by then.
  FileHandle content;
  PermissionRequest permission;
  std::string detail;
};

// Reports closes after writing and, on request, program starts on whole file systems, with the
// kernel's file-access notification interface. Move-only; marks go away with the monitor, and
// every program start still held is then allowed by the kernel.
class FileAccessMonitor {
 public:
  FileAccessMonitor() = default;
  ~FileAccessMonitor();
  FileAccessMonitor(FileAccessMonitor&& other) noexcept;
  FileAccessMonitor& operator=(FileAccessMonitor&& other) noexcept;
  FileAccessMonitor(const FileAccessMonitor&) = delete;
  FileAccessMonitor& operator=(const FileAccessMonitor&) = delete;

  // Opens a monitor (needs root). With `holdExecution`, program starts are reported too and held
  // until answered. Every event and every held start
  // takes a descriptor, so the process's soft limit of open files is raised to its hard limit.
  static Result<FileAccessMonitor> open(bool holdExecution);

  bool isOpen() const { return group_ != nullptr; }

  // Marks the file system that holds `directory` and those of the mount points below it. Gives
  // the count of file systems marked; fails when even the first could not be marked.
  Result<int> watchTree(const std::string& directory);

  // Also reports every name that appears under `directory`'s file systems (create, hard link,
  // rename into them), through a second, notification-only group. Fails when the kernel or the
  // file system does not report names with directory handles.
  Result<int> watchNames(const std::string& directory);

  // Waits at most `timeout` for events, or until wake(), and returns those read (maybe none).
  // Fails only when the monitor cannot go on (its descriptor failed).
  Result<std::vector<FileAccessEvent>> waitForEvents(std::chrono::milliseconds timeout);

  // True when the last waitForEvents() read every event the kernel had queued then.
  bool drained() const { return drained_; }

  // Ends a wait in progress at once. Safe from any thread.
  void wake();

  void close();

 private:
  // Reads the events queued on `group` into `events`; false when the descriptor failed.
  Result<> readGroup(int group, bool names, std::vector<FileAccessEvent>& events);
  FileAccessEvent nameEvent(const void* info, std::size_t length);

  std::shared_ptr<const int> group_;
  int nameGroup_ = -1;
  // Descriptors on the file systems marked for names, by file system id, through which their
  // directory handles are opened.
  std::vector<std::pair<std::uint64_t, int>> nameMounts_;
  // The directory of the last new name, and its handle.
  FileHandle lastDirectory_;
  std::vector<char> lastDirectoryHandle_;
  int lastDirectoryMount_ = -1;
  int wakeDescriptor_ = -1;
  bool holdExecution_ = false;
  bool drained_ = false;
};

// True when someone may write to the file open on `descriptor` (open for writing, or mapped
// shared and writable) other than through `descriptor` itself, which must be read-only. Fails
// when the file system cannot tell (no leases).
Result<bool> openForWritingElsewhere(int descriptor);

}  // namespace norvid::platform
