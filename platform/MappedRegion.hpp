#pragma once

#include <cstddef>
#include <cstdint>

namespace norvid::platform {

// Move-only owner of a read-only, private mapping of the start of an open file, so that its bytes
// can be matched without copying them to the heap. The mapping stays valid after the descriptor
// is closed. Reading a page past the end of a file that was truncated after mapping raises
// SIGBUS: hand the bytes only to code that guards against it (libyara does).
class MappedRegion {
 public:
  MappedRegion() = default;
  ~MappedRegion();
  MappedRegion(MappedRegion&& other) noexcept;
  MappedRegion& operator=(MappedRegion&& other) noexcept;
  MappedRegion(const MappedRegion&) = delete;
  MappedRegion& operator=(const MappedRegion&) = delete;

  // Maps the first `size` bytes of the file open on `descriptor`, read-only, with sequential
  // read-ahead. Empty (isMapped() false) when `size` is 0 or the mapping fails.
  static MappedRegion mapReadOnly(int descriptor, std::uint64_t size);

  bool isMapped() const { return data_ != nullptr; }
  const unsigned char* data() const { return static_cast<const unsigned char*>(data_); }
  std::size_t size() const { return size_; }

 private:
  void release();

  void* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace norvid::platform
