#include "platform/AdministratorGroup.hpp"

#include <grp.h>

#include <cerrno>
#include <vector>

namespace norvid::platform {
std::optional<std::uint32_t> groupId(const std::string& name) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(16 * 1024);
  while (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr) return std::nullopt;
  return static_cast<std::uint32_t>(found->gr_gid);
}

bool isAdministrator(const CallerIdentity& caller, const std::string& administratorGroup) {
  if (caller.isPrivileged()) return true;
  const std::optional<std::uint32_t> group = groupId(administratorGroup);
  return group.has_value() && caller.isInGroup(*group);
}

}  // namespace norvid::platform
