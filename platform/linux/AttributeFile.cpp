#include "platform/AttributeFile.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace norvid::platform {
namespace {

// Move-only owner of an open descriptor.
class AttributeDescriptor {
 public:
  explicit AttributeDescriptor(int fd) : fd_(fd) {}
  ~AttributeDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  AttributeDescriptor(AttributeDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  AttributeDescriptor& operator=(AttributeDescriptor&&) = delete;
  AttributeDescriptor(const AttributeDescriptor&) = delete;
  AttributeDescriptor& operator=(const AttributeDescriptor&) = delete;

  int get() const { return fd_; }

  // Closes now and reports the errno of a failed close (a sysfs store may fail only here).
  int close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

}  // namespace

AttributeRead readAttributeFile(const std::string& path, std::size_t maxBytes) {
  AttributeRead result;
  AttributeDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) {
    result.openError = errno;
    return result;
  }
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      result.readError = errno;
      break;
    }
    if (got == 0) break;
    if (result.content.size() + static_cast<std::size_t>(got) > maxBytes) {
      result.readError = EFBIG;
      break;
    }
    result.content.append(buffer, static_cast<std::size_t>(got));
  }
  if (result.readError != 0) result.content.clear();
  return result;
}

Result<> writeAttributeFile(const std::string& path, const std::string& content) {
  AttributeDescriptor fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return Failure::ofErrno(errno, "open " + path);
  const char* data = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    ssize_t written = ::write(fd.get(), data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return Failure::ofErrno(errno, "write " + path);
    if (written == 0) return Failure::ofErrno(EIO, "write " + path);
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  if (int code = fd.close(); code != 0) return Failure::ofErrno(code, "close " + path);
  return {};
}

}  // namespace norvid::platform
