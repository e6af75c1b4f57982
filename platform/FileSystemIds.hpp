#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>

namespace norvid::platform {

// The local file systems mounted now (ext2/3/4, xfs, btrfs, tmpfs), each by its device number,
// which may change at every mount, and by the id the file system reports of itself, derived from
// its UUID on disk file systems (a random one per tmpfs mount), which a device number reused for
// another file system never shares. A file system without an id, and an id or device number
// seen for two different file systems, are left out: nothing can be said of them.
class FileSystemIds {
 public:
  FileSystemIds() = default;

  // Reads the mount table; a mount point that cannot be examined, or that another mount hides, is
  // left out.
  static FileSystemIds mounted();

  // Records that the file system on `device` has the id `id` (0 means none and is ignored).
  void add(std::uint64_t device, std::uint64_t id);

  std::optional<std::uint64_t> idOf(std::uint64_t device) const;
  std::optional<std::uint64_t> deviceOf(std::uint64_t id) const;

 private:
  std::map<std::uint64_t, std::uint64_t> idByDevice_;
  std::map<std::uint64_t, std::uint64_t> deviceById_;
  std::set<std::uint64_t> ambiguousDevices_;
  std::set<std::uint64_t> ambiguousIds_;
};

}  // namespace norvid::platform
