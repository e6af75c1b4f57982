#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace norvid::testing {

// A small tmpfs mounted on a directory for the life of the object (root only). `error()` says why
// the mount was refused, for a clear skip.
class TmpfsMount {
 public:
  explicit TmpfsMount(std::string directory, const std::string& options = "size=8m,mode=0755")
      : directory_(std::move(directory)) {
    std::filesystem::create_directories(directory_);
    if (::mount("tmpfs", directory_.c_str(), "tmpfs", 0, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      error_ = std::strerror(errno);
    }
  }
  ~TmpfsMount() {
    if (mounted_) ::umount2(directory_.c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  const std::string& path() const { return directory_; }

 private:
  std::string directory_;
  bool mounted_ = false;
  std::string error_;
};

}  // namespace norvid::testing
