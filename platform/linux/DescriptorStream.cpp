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

DescriptorStream DescriptorStream::openDuplicate(int descriptor, std::string* error) {
  const int duplicate = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) {
    if (error != nullptr) *error = "dup: " + errnoText(errno);
    return {};
  }
  if (::lseek(duplicate, 0, SEEK_SET) != 0) {
    if (error != nullptr) *error = "lseek: " + errnoText(errno);
    ::close(duplicate);
    return {};
  }
  std::FILE* stream = ::fdopen(duplicate, "rb");
  if (stream == nullptr) {
    if (error != nullptr) *error = "fdopen: " + errnoText(errno);
    ::close(duplicate);
    return {};
  }
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
