#include "platform/FileAccess.hpp"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <vector>

#include "platform/SystemError.hpp"

namespace norvid::platform {
namespace {

bool refuse(std::string* reason, const std::string& text) {
  if (reason != nullptr) *reason = text;
  return false;
}

// The caller's own group and the groups of its account, if it has one.
std::vector<gid_t> groupsOf(const CallerIdentity& caller) {
  std::vector<gid_t> groups{static_cast<gid_t>(caller.gid)};
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  struct passwd account {};
  struct passwd* found = nullptr;
  while (::getpwuid_r(caller.uid, &account, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr) return groups;

  // The groups a login of this account gets: its own group and those that list it as a member.
  int count = 64;
  std::vector<gid_t> listed(static_cast<std::size_t>(count));
  while (::getgrouplist(account.pw_name, account.pw_gid, listed.data(), &count) < 0) {
    listed.resize(static_cast<std::size_t>(count) + 1);
    count = static_cast<int>(listed.size());
  }
  listed.resize(static_cast<std::size_t>(count));
  groups.insert(groups.end(), listed.begin(), listed.end());
  return groups;
}

// Whether the caller holds every bit of `wanted` (given as the owner's bits, e.g. 03 for write and
// search) on an object with this owner, group and mode. Like the kernel, the first class that
// applies decides: owner, then any of the caller's groups, then others.
bool callerHolds(const CallerIdentity& caller, const FileStatus& object, std::uint32_t wanted) {
  std::uint32_t granted;
  if (caller.uid == object.uid) {
    granted = (object.mode >> 6) & 07;
  } else {
    std::vector<gid_t> groups = groupsOf(caller);
    bool inGroup =
        std::find(groups.begin(), groups.end(), static_cast<gid_t>(object.gid)) != groups.end();
    granted = inGroup ? (object.mode >> 3) & 07 : object.mode & 07;
  }
  return (granted & wanted) == wanted;
}

}  // namespace

bool callerMayDelete(const std::string& path, const CallerIdentity& caller, std::string* reason) {
  std::string error;
  std::optional<PinnedFile> file = PinnedFile::open(path, &error);
  if (!file) return refuse(reason, error);
  return callerMayDelete(*file, caller, reason);
}

bool callerMayDelete(const PinnedFile& file, const CallerIdentity& caller, std::string* reason) {
  if (caller.isPrivileged()) return true;
  const FileStatus& directory = file.directoryStatus();
  if (!callerHolds(caller, directory, 03)) {
    return refuse(reason, "no write and search permission on " + file.directoryPath());
  }
  if ((directory.mode & S_ISVTX) != 0 && caller.uid != file.fileStatus().uid &&
      caller.uid != directory.uid) {
    return refuse(reason, file.directoryPath() + " is sticky and the file belongs to uid " +
                              std::to_string(file.fileStatus().uid));
  }
  return true;
}

bool createPrivateDirectory(const std::string& path, std::string* error) {
  std::error_code code;
  std::filesystem::path target = std::filesystem::path(path).lexically_normal();
  if (std::filesystem::is_directory(target, code)) return true;
  if (target.has_parent_path() && target.has_filename()) {
    std::filesystem::create_directories(target.parent_path(), code);
    if (code) {
      if (error != nullptr) *error = code.message();
      return false;
    }
  }
  if (::mkdir(target.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error != nullptr) *error = errnoText(errno);
    return false;
  }
  if (!std::filesystem::is_directory(target, code)) {
    if (error != nullptr) *error = path + ": not a directory";
    return false;
  }
  return true;
}

}  // namespace norvid::platform
