#include "platform/DescriptorStream.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/SystemError.hpp"

namespace norvid::platform {

DescriptorStream::~DescriptorStream() {
  if (stream_ != nullptr) std::fclose(stream_);
}

DescriptorStream::DescriptorStream(DescriptorStream&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)) {}

DescriptorStream& DescriptorStream::operator=(DescriptorStream&& other) noexcept {
  if (this != &other) {
    if (stream_ != nullptr) std::fclose(stream_);
    stream_ = std::exchange(other.stream_, nullptr);
  }
  return *this;
}

Result<DescriptorStream> DescriptorStream::openDuplicate(int descriptor) {
  const int duplicate = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) return Failure::ofErrno(errno, "dup");
  auto abandon = [duplicate](const char* step) {
    const Failure failure = Failure::ofErrno(errno, step);
    ::close(duplicate);
    return failure;
  };
  if (::lseek(duplicate, 0, SEEK_SET) != 0) return abandon("lseek");
  std::FILE* stream = ::fdopen(duplicate, "rb");
  if (stream == nullptr) return abandon("fdopen");
  DescriptorStream result;
  result.stream_ = stream;
  return result;
}

int DescriptorStream::descriptor() const { return stream_ != nullptr ? ::fileno(stream_) : -1; }

std::uint64_t DescriptorStream::size() const {
  struct stat info {};
  if (stream_ == nullptr || ::fstat(::fileno(stream_), &info) != 0 || info.st_size < 0) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace norvid::platform
