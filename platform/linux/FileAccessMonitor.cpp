#include "platform/FileAccessMonitor.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <utility>

#include "platform/SystemError.hpp"

namespace norvid::platform {
namespace {

constexpr std::size_t kReadBufferBytes = 64 * 1024;
constexpr char kNamesQueue[] = "names";

std::string descriptorPath(int descriptor) {
  char buffer[4096 + 16];
  const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
  ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) return {};
  std::string path(buffer, static_cast<std::size_t>(length));
  return !path.empty() && path[0] == '/' ? path : std::string();
}

// Mount points are written with spaces, tabs, newlines and backslashes as octal escapes.
std::string unescapeMountPoint(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

std::vector<std::string> mountPointsBelow(const std::string& directory) {
  std::vector<std::string> below;
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  const std::string prefix = directory == "/" ? "/" : directory + "/";
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, mountPoint;
    if (!(fields >> id >> parent >> numbers >> root >> mountPoint)) continue;
    mountPoint = unescapeMountPoint(mountPoint);
    if (mountPoint.size() > prefix.size() && mountPoint.compare(0, prefix.size(), prefix) == 0) {
      below.push_back(mountPoint);
    }
  }
  return below;
}

FileAccessEvent toEvent(const fanotify_event_metadata& metadata,
                        const std::shared_ptr<const int>& group) {
  FileAccessEvent event;
  event.pid = metadata.pid;
  if ((metadata.mask & FAN_Q_OVERFLOW) != 0) {
    event.kind = FileAccessEvent::Kind::QueueOverflow;
    if (metadata.fd >= 0) ::close(metadata.fd);
    return event;
  }
  if (metadata.fd < 0) {
    event.kind = FileAccessEvent::Kind::ReadFailed;
    event.detail = "event without a file";
    return event;
  }
  if (Result<FileStatus> status = statusOf(metadata.fd)) {
    event.file = *status;
    // An unlinked file has no path to scan any more (its link reads "<old path> (deleted)"); the
    // link count tells, not the name, which anyone may choose to end that way.
    if (event.file.links > 0) event.path = descriptorPath(metadata.fd);
  }
  if ((metadata.mask & FAN_OPEN_EXEC_PERM) != 0) {
    event.kind = FileAccessEvent::Kind::AboutToExecute;
    event.permission = PermissionRequest(group, metadata.fd);
    // The answer closes the kernel's descriptor; the scan gets a copy of its own.
    event.content = FileHandle(::fcntl(metadata.fd, F_DUPFD_CLOEXEC, 0));
  } else {
    event.kind = FileAccessEvent::Kind::ClosedAfterWrite;
    event.content = FileHandle(metadata.fd);
  }
  return event;
}

std::uint64_t fileSystemId(const __kernel_fsid_t& id) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(id.val[0])) << 32) |
         static_cast<std::uint32_t>(id.val[1]);
}

Result<std::uint64_t> fileSystemIdOf(const std::string& path) {
  struct statfs info {};
  if (::statfs(path.c_str(), &info) != 0) return Failure::ofErrno(errno, "statfs " + path);
  __kernel_fsid_t id{};
  std::memcpy(&id, &info.f_fsid, sizeof id);
  return fileSystemId(id);
}

}  // namespace

FileAccessMonitor::~FileAccessMonitor() { close(); }

FileAccessMonitor::FileAccessMonitor(FileAccessMonitor&& other) noexcept {
  *this = std::move(other);
}

FileAccessMonitor& FileAccessMonitor::operator=(FileAccessMonitor&& other) noexcept {
  if (this != &other) {
    close();
    group_ = std::move(other.group_);
    nameGroup_ = std::exchange(other.nameGroup_, -1);
    nameMounts_ = std::move(other.nameMounts_);
    other.nameMounts_.clear();
    lastDirectory_ = std::move(other.lastDirectory_);
    lastDirectoryHandle_ = std::move(other.lastDirectoryHandle_);
    lastDirectoryMount_ = other.lastDirectoryMount_;
    wakeDescriptor_ = std::exchange(other.wakeDescriptor_, -1);
    holdExecution_ = other.holdExecution_;
    drained_ = other.drained_;
  }
  return *this;
}

Result<FileAccessMonitor> FileAccessMonitor::open(bool holdExecution) {
  FileAccessMonitor monitor;
  const int group = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK,
                                    O_RDONLY | O_LARGEFILE | O_CLOEXEC);
  if (group < 0) return Failure::ofErrno(errno, "fanotify_init");
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    const Failure failure = Failure::ofErrno(errno, "eventfd");
    ::close(group);
    return failure;
  }
  // Held requests share the group descriptor, so it closes only after the last one is answered.
  monitor.group_ = std::shared_ptr<const int>(new int(group), [](const int* descriptor) {
    ::close(*descriptor);
    delete descriptor;
  });
  monitor.wakeDescriptor_ = wake;
  monitor.holdExecution_ = holdExecution;
  return monitor;
}

Result<int> FileAccessMonitor::watchTree(const std::string& directory) {
  if (!isOpen()) return Failure{EBADF, "monitor not open"};
  const std::uint64_t mask = FAN_CLOSE_WRITE | (holdExecution_ ? FAN_OPEN_EXEC_PERM : 0);
  auto mark = [&](const std::string& path) -> Result<> {
    if (::fanotify_mark(*group_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask, AT_FDCWD,
                        path.c_str()) == 0) {
      return {};
    }
    // Some file systems (and older kernels) take only a mark on the mount.
    if (::fanotify_mark(*group_, FAN_MARK_ADD | FAN_MARK_MOUNT, mask, AT_FDCWD, path.c_str()) ==
        0) {
      return {};
    }
    return Failure::ofErrno(errno, "fanotify_mark " + path);
  };
  if (Result<> first = mark(directory); !first) return first.failure();
  int marked = 1;
  for (const std::string& mountPoint : mountPointsBelow(directory)) {
    if (mark(mountPoint)) ++marked;
  }
  return marked;
}

Result<int> FileAccessMonitor::watchNames(const std::string& directory) {
  if (!isOpen()) return Failure{EBADF, "monitor not open"};
  if (nameGroup_ < 0) {
    const int group =
        ::fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME,
                        O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (group < 0) return Failure::ofErrno(errno, "fanotify_init (names)");
    nameGroup_ = group;
  }
  auto mark = [&](const std::string& path) -> Result<> {
    Result<std::uint64_t> id = fileSystemIdOf(path);
    if (!id) return id.failure();
    if (::fanotify_mark(nameGroup_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, FAN_CREATE | FAN_MOVED_TO,
                        AT_FDCWD, path.c_str()) != 0) {
      return Failure::ofErrno(errno, "fanotify_mark (names) " + path);
    }
    for (const auto& [known, descriptor] : nameMounts_) {
      if (known == *id) return {};
    }
    const int mount = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (mount < 0) return Failure::ofErrno(errno, "open " + path);
    nameMounts_.emplace_back(*id, mount);
    return {};
  };
  if (Result<> first = mark(directory); !first) return first.failure();
  int marked = 1;
  for (const std::string& mountPoint : mountPointsBelow(directory)) {
    if (mark(mountPoint)) ++marked;
  }
  return marked;
}

FileAccessEvent FileAccessMonitor::nameEvent(const void* info, std::size_t length) {
  FileAccessEvent event;
  event.kind = FileAccessEvent::Kind::NameCreated;
  const auto* fid = static_cast<const fanotify_event_info_fid*>(info);
  if (length < sizeof *fid + sizeof(file_handle) ||
      fid->hdr.info_type != FAN_EVENT_INFO_TYPE_DFID_NAME) {
    return event;
  }
  const auto* handle = reinterpret_cast<const file_handle*>(fid->handle);
  const std::size_t handleBytes = sizeof(file_handle) + handle->handle_bytes;
  if (sizeof *fid + handleBytes >= length) return event;
  const char* name = reinterpret_cast<const char*>(fid->handle) + handleBytes;
  const std::size_t nameRoom = length - sizeof *fid - handleBytes;
  if (::strnlen(name, nameRoom) == nameRoom) return event;
  int mount = -1;
  for (const auto& [id, descriptor] : nameMounts_) {
    if (id == fileSystemId(fid->fsid)) mount = descriptor;
  }
  if (mount < 0) return event;
  // Names mostly come in runs within one directory (an unpack, a copy): its last one stays open.
  const char* handleStart = reinterpret_cast<const char*>(handle);
  if (!lastDirectory_.isOpen() || mount != lastDirectoryMount_ ||
      !std::equal(handleStart, handleStart + handleBytes, lastDirectoryHandle_.begin(),
                  lastDirectoryHandle_.end())) {
    // open_by_handle_at wants a handle it may write to; the event's is copied.
    std::vector<char> copy(handleStart, handleStart + handleBytes);
    lastDirectory_ = FileHandle(::open_by_handle_at(
        mount, reinterpret_cast<file_handle*>(copy.data()), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    lastDirectoryHandle_.assign(handleStart, handleStart + handleBytes);
    lastDirectoryMount_ = mount;
    if (!lastDirectory_.isOpen()) return event;
  }
  const int directory = lastDirectory_.descriptor();
  // Only a regular file with content is worth opening: one created empty is reported by its
  // close after writing.
  struct stat named {};
  if (::fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) ||
      named.st_size == 0) {
    return event;
  }
  event.content = FileHandle(
      ::openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!event.content.isOpen()) return event;
  if (Result<FileStatus> status = statusOf(event.content.descriptor())) event.file = *status;
  const std::string where = descriptorPath(directory);
  if (!where.empty()) event.path = (where == "/" ? "" : where) + "/" + name;
  return event;
}

Result<> FileAccessMonitor::readGroup(int group, bool names, std::vector<FileAccessEvent>& events) {
  alignas(fanotify_event_metadata) static thread_local char buffer[kReadBufferBytes];
  ssize_t length = ::read(group, buffer, sizeof buffer);
  if (length < 0) {
    const int code = errno;
    if (code == EAGAIN || code == EINTR) return {};
    drained_ = false;
    if (code == EBADF || code == EINVAL || code == EFAULT) return Failure::ofErrno(code, "read");
    // The kernel could not open a file for an event (no descriptor left, a file that vanished):
    // that event is lost, the next ones are read as usual.
    FileAccessEvent lost;
    lost.kind = FileAccessEvent::Kind::ReadFailed;
    lost.detail = errnoText(code);
    events.push_back(std::move(lost));
    return {};
  }
  // A read that left room for more took everything queued then.
  if (static_cast<std::size_t>(length) + 4096 + sizeof(fanotify_event_metadata) > sizeof buffer) {
    drained_ = false;
  }
  // Records with names have lengths that are not multiples of 8, so a record may start anywhere
  // a 4-byte boundary allows: each header is copied out before it is read.
  const std::size_t total = static_cast<std::size_t>(length);
  std::size_t offset = 0;
  while (offset + sizeof(fanotify_event_metadata) <= total) {
    fanotify_event_metadata metadata;
    std::memcpy(&metadata, buffer + offset, sizeof metadata);
    if (metadata.event_len < sizeof metadata || metadata.event_len > total - offset ||
        metadata.metadata_len > metadata.event_len) {
      break;
    }
    const char* record = buffer + offset;
    offset += metadata.event_len;
    if (metadata.vers != FANOTIFY_METADATA_VERSION) {
      // An unknown layout: let a held access go and read nothing else from it.
      if (metadata.fd >= 0 && (metadata.mask & FAN_OPEN_EXEC_PERM) != 0) {
        PermissionRequest(group_, metadata.fd).answer(true);
      } else if (metadata.fd >= 0) {
        ::close(metadata.fd);
      }
      continue;
    }
    if (names && (metadata.mask & FAN_Q_OVERFLOW) == 0) {
      FileAccessEvent event =
          nameEvent(record + metadata.metadata_len, metadata.event_len - metadata.metadata_len);
      event.pid = metadata.pid;
      if (event.content.isOpen()) events.push_back(std::move(event));
      continue;
    }
    events.push_back(toEvent(metadata, group_));
    if (names) events.back().detail = kNamesQueue;
  }
  return {};
}

Result<std::vector<FileAccessEvent>> FileAccessMonitor::waitForEvents(
    std::chrono::milliseconds timeout) {
  std::vector<FileAccessEvent> events;
  drained_ = false;
  if (!isOpen()) return events;
  pollfd polled[3] = {{*group_, POLLIN, 0}, {wakeDescriptor_, POLLIN, 0}, {nameGroup_, POLLIN, 0}};
  int ready = ::poll(polled, nameGroup_ >= 0 ? 3 : 2, static_cast<int>(timeout.count()));
  if (ready < 0) {
    if (errno != EINTR) return Failure::ofErrno(errno, "poll");
    return events;
  }
  if ((polled[0].revents & (POLLERR | POLLNVAL)) != 0 ||
      (nameGroup_ >= 0 && (polled[2].revents & (POLLERR | POLLNVAL)) != 0)) {
    return Failure{EBADF, "fanotify descriptor failed"};
  }
  if ((polled[1].revents & POLLIN) != 0) {
    std::uint64_t count;
    while (::read(wakeDescriptor_, &count, sizeof count) > 0) {
    }
  }
  drained_ = true;
  if ((polled[0].revents & POLLIN) != 0) {
    if (Result<> read = readGroup(*group_, false, events); !read) return read.failure();
  }
  if (nameGroup_ >= 0 && (polled[2].revents & POLLIN) != 0) {
    if (Result<> read = readGroup(nameGroup_, true, events); !read) return read.failure();
  }
  return events;
}

void FileAccessMonitor::wake() {
  if (wakeDescriptor_ < 0) return;
  const std::uint64_t one = 1;
  ssize_t written = ::write(wakeDescriptor_, &one, sizeof one);
  (void)written;
}

void FileAccessMonitor::close() {
  group_.reset();
  if (nameGroup_ >= 0) ::close(nameGroup_);
  nameGroup_ = -1;
  for (const auto& [id, descriptor] : nameMounts_) ::close(descriptor);
  nameMounts_.clear();
  lastDirectory_ = FileHandle();
  lastDirectoryHandle_.clear();
  if (wakeDescriptor_ >= 0) ::close(wakeDescriptor_);
  wakeDescriptor_ = -1;
}

Result<bool> openForWritingElsewhere(int descriptor) {
  // A lease taken here is given back at once; should a writer come in between, the kernel tells
  // this process with SIGIO, whose default action would end it.
  static std::once_flag ignoreBreaks;
  std::call_once(ignoreBreaks, [] { std::signal(SIGIO, SIG_IGN); });
  if (::fcntl(descriptor, F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(descriptor, F_SETLEASE, F_UNLCK);
    return false;
  }
  if (errno == EAGAIN || errno == EBUSY) return true;
  return Failure::ofErrno(errno, "F_SETLEASE");
}

}  // namespace norvid::platform
