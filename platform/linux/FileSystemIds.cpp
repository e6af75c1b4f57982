#include "platform/FileSystemIds.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace norvid::platform {
namespace {

// The file system types whose files the scanner keeps verdicts on.
bool isLocalType(const std::string& type) {
  return type == "ext4" || type == "ext3" || type == "ext2" || type == "xfs" || type == "btrfs" ||
         type == "tmpfs";
}

// A mount table path with its octal escapes (\040 for a space, ...) decoded.
std::string unescapeMountPath(const std::string& field) {
  std::string path;
  for (std::size_t at = 0; at < field.size(); ++at) {
    if (field[at] == '\\' && at + 3 < field.size() && field[at + 1] >= '0' &&
        field[at + 1] <= '3' && field[at + 2] >= '0' && field[at + 2] <= '7' &&
        field[at + 3] >= '0' && field[at + 3] <= '7') {
      path += static_cast<char>((field[at + 1] - '0') * 64 + (field[at + 2] - '0') * 8 +
                                (field[at + 3] - '0'));
      at += 3;
    } else {
      path += field[at];
    }
  }
  return path;
}

// The id of the file system mounted at `mountPoint` when that mount is the one seen there (no
// other mount hides it) and lies on `device`; 0 otherwise.
std::uint64_t idAt(const std::string& mountPoint, std::uint64_t device) {
  const int descriptor = ::open(mountPoint.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return 0;
  struct stat status {};
  struct statfs info {};
  const bool examined = ::fstat(descriptor, &status) == 0 && ::fstatfs(descriptor, &info) == 0;
  ::close(descriptor);
  if (!examined || static_cast<std::uint64_t>(status.st_dev) != device) return 0;
  std::uint32_t halves[2];
  static_assert(sizeof(halves) == sizeof(info.f_fsid));
  std::memcpy(halves, &info.f_fsid, sizeof(halves));
  return static_cast<std::uint64_t>(halves[0]) | (static_cast<std::uint64_t>(halves[1]) << 32);
}

}  // namespace

FileSystemIds FileSystemIds::mounted() {
  FileSystemIds ids;
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    std::size_t separator = 6;
    while (separator < words.size() && words[separator] != "-") ++separator;
    if (words.size() < 5 || separator + 1 >= words.size()) continue;
    if (!isLocalType(words[separator + 1])) continue;
    unsigned major = 0;
    unsigned minor = 0;
    char colon = 0;
    std::istringstream numbers(words[2]);
    if (!(numbers >> major >> colon >> minor) || colon != ':') continue;
    const std::uint64_t device = makedev(major, minor);
    ids.add(device, idAt(unescapeMountPath(words[4]), device));
  }
  return ids;
}

void FileSystemIds::add(std::uint64_t device, std::uint64_t id) {
  if (id == 0) return;
  auto byDevice = idByDevice_.find(device);
  if (byDevice != idByDevice_.end() && byDevice->second != id) ambiguousDevices_.insert(device);
  auto byId = deviceById_.find(id);
  if (byId != deviceById_.end() && byId->second != device) ambiguousIds_.insert(id);
  idByDevice_[device] = id;
  deviceById_[id] = device;
}

std::optional<std::uint64_t> FileSystemIds::idOf(std::uint64_t device) const {
  auto found = idByDevice_.find(device);
  if (found == idByDevice_.end() || ambiguousDevices_.count(device) != 0) return std::nullopt;
  if (ambiguousIds_.count(found->second) != 0) return std::nullopt;
  return found->second;
}

std::optional<std::uint64_t> FileSystemIds::deviceOf(std::uint64_t id) const {
  auto found = deviceById_.find(id);
  if (found == deviceById_.end() || ambiguousIds_.count(id) != 0) return std::nullopt;
  if (ambiguousDevices_.count(found->second) != 0) return std::nullopt;
  return found->second;
}

}  // namespace norvid::platform
