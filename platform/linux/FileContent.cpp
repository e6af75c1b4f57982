#include "platform/FileContent.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace norvid::platform {
namespace {

// Move-only owner of a descriptor opened for reading.
class ReadDescriptor {
 public:
  explicit ReadDescriptor(int fd) : fd_(fd) {}
  ~ReadDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  ReadDescriptor(ReadDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  ReadDescriptor& operator=(ReadDescriptor&&) = delete;
  ReadDescriptor(const ReadDescriptor&) = delete;
  ReadDescriptor& operator=(const ReadDescriptor&) = delete;

  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

FileContentStatus readRegularFile(const std::string& path, std::uint64_t maxBytes,
                                  std::vector<std::uint8_t>& content) {
  content.clear();
  ReadDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return FileContentStatus::CannotOpen;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return FileContentStatus::CannotOpen;
  if (!S_ISREG(info.st_mode)) return FileContentStatus::NotRegular;
  if (info.st_size <= 0) return FileContentStatus::Empty;
  const auto length = static_cast<std::uint64_t>(info.st_size);
  if (length > maxBytes) return FileContentStatus::TooLarge;

  content.resize(static_cast<std::size_t>(length));
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t got = ::read(fd.get(), content.data() + done, content.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      content.clear();
      return FileContentStatus::ReadFailed;
    }
    done += static_cast<std::size_t>(got);
  }
  return FileContentStatus::Ok;
}

}  // namespace norvid::platform
