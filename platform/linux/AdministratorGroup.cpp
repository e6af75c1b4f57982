#include "platform/AdministratorGroup.hpp"

#include <grp.h>

#include <cerrno>

#include <cstdlib>
#include <vector>

namespace norvid::platform {

std::string administratorGroupName() {
  const char* name = std::getenv("NORVID_ADMIN_GROUP");
  return name != nullptr && *name != '\0' ? name : "norvid-admin";
}

std::optional<std::uint32_t> administratorGroupId() {
  const std::string name = administratorGroupName();
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(16 * 1024);
  // The group is looked up on every use: it may be created (by the package) after the start.
  while (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr) return std::nullopt;
  return static_cast<std::uint32_t>(found->gr_gid);
}

bool isAdministrator(const CallerIdentity& caller) {
  if (caller.isPrivileged()) return true;
  const std::optional<std::uint32_t> group = administratorGroupId();
  return group.has_value() && caller.isInGroup(*group);
}

}  // namespace norvid::platform
