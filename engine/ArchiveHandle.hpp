#pragma once

#include <archive.h>

#include <utility>

namespace norvid {

// Move-only owner of a libarchive reader or writer; frees it with the matching release function
// on every path.
class ArchiveHandle {
 public:
  using Release = int (*)(struct archive*);

  ArchiveHandle(struct archive* handle, Release release) : handle_(handle), release_(release) {}
  ~ArchiveHandle() { reset(); }

  ArchiveHandle(ArchiveHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), release_(other.release_) {}
  ArchiveHandle& operator=(ArchiveHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
      release_ = other.release_;
    }
    return *this;
  }
  ArchiveHandle(const ArchiveHandle&) = delete;
  ArchiveHandle& operator=(const ArchiveHandle&) = delete;

  struct archive* get() const {
    return handle_;
  }
  explicit operator bool() const { return handle_ != nullptr; }

  // Releases the handle now (the destructor then does nothing).
  void reset() {
    if (handle_ != nullptr) release_(handle_);
    handle_ = nullptr;
  }

  // The library's text for the last error on this handle, or a fallback when it has none.
  const char* errorText() const {
    const char* text = handle_ != nullptr ? archive_error_string(handle_) : nullptr;
    return text != nullptr ? text : "unknown error";
  }

 private:
  struct archive* handle_;
  Release release_;
};

}  // namespace norvid
