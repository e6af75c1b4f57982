#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/CallerIdentity.hpp"

namespace norvid::platform {

// The group whose members may run the administrator commands when the configuration names none.
inline constexpr const char* kDefaultAdministratorGroup = "norvid-admin";

// The id of the group called `name`; nullopt when no such group exists on the machine. The group
// database is read on every call: the group may be created (by the package) after the start.
std::optional<std::uint32_t> groupId(const std::string& name);

// True for root, for the service's own requests, and for a caller whose primary or supplementary
// groups include the group called `administratorGroup`.
bool isAdministrator(const CallerIdentity& caller, const std::string& administratorGroup);

}  // namespace norvid::platform
