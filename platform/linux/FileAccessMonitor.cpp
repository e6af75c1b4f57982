#include "platform/FileAccessMonitor.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "platform/SystemError.hpp"

namespace norvid::platform {
namespace {

constexpr std::size_t kReadBufferBytes = 64 * 1024;

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
  } else {
    event.kind = FileAccessEvent::Kind::ClosedAfterWrite;
    ::close(metadata.fd);
  }
  return event;
}

}  // namespace

FileAccessMonitor::~FileAccessMonitor() { close(); }

FileAccessMonitor::FileAccessMonitor(FileAccessMonitor&& other) noexcept
    : group_(std::move(other.group_)),
      wakeDescriptor_(other.wakeDescriptor_),
      holdExecution_(other.holdExecution_) {
  other.wakeDescriptor_ = -1;
}

FileAccessMonitor& FileAccessMonitor::operator=(FileAccessMonitor&& other) noexcept {
  if (this != &other) {
    close();
    group_ = std::move(other.group_);
    wakeDescriptor_ = other.wakeDescriptor_;
    holdExecution_ = other.holdExecution_;
    other.wakeDescriptor_ = -1;
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

Result<std::vector<FileAccessEvent>> FileAccessMonitor::waitForEvents(
    std::chrono::milliseconds timeout) {
  std::vector<FileAccessEvent> events;
  if (!isOpen()) return events;
  pollfd polled[2] = {{*group_, POLLIN, 0}, {wakeDescriptor_, POLLIN, 0}};
  int ready = ::poll(polled, 2, static_cast<int>(timeout.count()));
  if (ready < 0) {
    if (errno != EINTR) return Failure::ofErrno(errno, "poll");
    return events;
  }
  if ((polled[0].revents & (POLLERR | POLLNVAL)) != 0) {
    return Failure{EBADF, "fanotify descriptor failed"};
  }
  if ((polled[1].revents & POLLIN) != 0) {
    std::uint64_t count;
    while (::read(wakeDescriptor_, &count, sizeof count) > 0) {
    }
  }
  if ((polled[0].revents & POLLIN) == 0) return events;
  alignas(fanotify_event_metadata) char buffer[kReadBufferBytes];
  ssize_t length = ::read(*group_, buffer, sizeof buffer);
  if (length < 0) {
    const int code = errno;
    if (code == EAGAIN || code == EINTR) return events;
    if (code == EBADF || code == EINVAL || code == EFAULT) return Failure::ofErrno(code, "read");
    // The kernel could not open a file for an event (no descriptor left, a file that vanished):
    // that event is lost, the next ones are read as usual.
    FileAccessEvent lost;
    lost.kind = FileAccessEvent::Kind::ReadFailed;
    lost.detail = errnoText(code);
    events.push_back(std::move(lost));
    return events;
  }
  auto* metadata = reinterpret_cast<const fanotify_event_metadata*>(buffer);
  for (; FAN_EVENT_OK(metadata, length); metadata = FAN_EVENT_NEXT(metadata, length)) {
    if (metadata->vers != FANOTIFY_METADATA_VERSION) {
      // An unknown layout: let a held access go and read nothing else from it.
      if (metadata->fd >= 0 && (metadata->mask & FAN_OPEN_EXEC_PERM) != 0) {
        PermissionRequest(group_, metadata->fd).answer(true);
      } else if (metadata->fd >= 0) {
        ::close(metadata->fd);
      }
      continue;
    }
    events.push_back(toEvent(*metadata, group_));
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
  if (wakeDescriptor_ >= 0) ::close(wakeDescriptor_);
  wakeDescriptor_ = -1;
}

}  // namespace norvid::platform
