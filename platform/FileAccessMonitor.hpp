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
    // The kernel's queue was full and events were lost.
    QueueOverflow,
    // Events could not be read (for instance no descriptor was left for the file); `detail`
    // says why. The kernel denies a held start it could not hand over.
    ReadFailed,
  };
  Kind kind = Kind::ClosedAfterWrite;
  // The process that caused the event.
  std::int32_t pid = 0;
  // The file's path as the kernel resolved it; empty when it has none any more (deleted).
  std::string path;
  // The file's type, size, identity and times when the event came; all zero when they could not
  // be read.
  FileStatus file;
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

  // Waits at most `timeout` for events, or until wake(), and returns those read (maybe none).
  // Fails only when the monitor cannot go on (its descriptor failed).
  Result<std::vector<FileAccessEvent>> waitForEvents(std::chrono::milliseconds timeout);

  // Ends a wait in progress at once. Safe from any thread.
  void wake();

  void close();

 private:
  std::shared_ptr<const int> group_;
  int wakeDescriptor_ = -1;
  bool holdExecution_ = false;
};

}  // namespace norvid::platform
