#include "platform/MappedRegion.hpp"

#include <sys/mman.h>

#include <limits>

namespace norvid::platform {

MappedRegion::~MappedRegion() { release(); }

MappedRegion::MappedRegion(MappedRegion&& other) noexcept : data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

MappedRegion& MappedRegion::operator=(MappedRegion&& other) noexcept {
  if (this != &other) {
    release();
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

MappedRegion MappedRegion::mapReadOnly(int descriptor, std::uint64_t size) {
  MappedRegion region;
  if (descriptor < 0 || size == 0 || size > std::numeric_limits<std::size_t>::max()) return region;
  const auto length = static_cast<std::size_t>(size);
  void* address = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, descriptor, 0);
  if (address == MAP_FAILED) return region;
  ::madvise(address, length, MADV_SEQUENTIAL);
  region.data_ = address;
  region.size_ = length;
  return region;
}

void MappedRegion::release() {
  if (data_ != nullptr) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace norvid::platform
