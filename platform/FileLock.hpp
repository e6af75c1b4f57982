#pragma once

#include <string>

#include "platform/FileHandle.hpp"
#include "platform/SystemError.hpp"

namespace norvid::platform {

// An exclusive advisory lock on a lock file, held until the object goes away (or the process
// ends, so a crashed holder never leaves it taken). Move-only.
class FileLock {
 public:
  enum class Wait { No, Yes };

  // Creates the file when missing (mode 0600) and takes its lock. With Wait::No a lock another
  // holder has fails at once with EWOULDBLOCK.
  static Result<FileLock> acquire(const std::string& path, Wait wait);

  FileLock(FileLock&&) noexcept = default;
  FileLock& operator=(FileLock&&) noexcept = default;

 private:
  explicit FileLock(FileHandle file) : file_(std::move(file)) {}
  FileHandle file_;
};

}  // namespace norvid::platform
