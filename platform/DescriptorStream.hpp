#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// A read-only stdio stream over a duplicate of an open descriptor, positioned at the start of the
// file. Readers that want a FILE* or a descriptor of their own use it, so that the file they read
// is the one the caller opened and checked, never whatever its path names later. The duplicate
// shares the file offset with the caller's descriptor: the caller must not rely on that offset
// while the stream is in use. Move-only; the stream (and with it the duplicate) is closed when the
// owner goes away.
class DescriptorStream {
 public:
  DescriptorStream() = default;
  ~DescriptorStream();
  DescriptorStream(DescriptorStream&& other) noexcept;
  DescriptorStream& operator=(DescriptorStream&& other) noexcept;
  DescriptorStream(const DescriptorStream&) = delete;
  DescriptorStream& operator=(const DescriptorStream&) = delete;

  // Fails when the descriptor cannot be duplicated or rewound.
  static Result<DescriptorStream> openDuplicate(int descriptor);

  bool isOpen() const { return stream_ != nullptr; }
  std::FILE* get() const { return stream_; }
  // The duplicate descriptor under the stream; -1 when closed.
  int descriptor() const;
  // The file's size now; 0 when it cannot be read.
  std::uint64_t size() const;

 private:
  std::FILE* stream_ = nullptr;
};

}  // namespace norvid::platform
