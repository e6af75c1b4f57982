#pragma once

#include <cstdint>
#include <string>

namespace norvid::platform {

// The user name of `uid` from the system's user database, or the number in decimal when no user
// has it (as `ls -l` shows such owners). Names are remembered after the first look-up, so that
// judging many files of one owner asks the user database once. Safe from several threads.
std::string userNameOf(std::uint32_t uid);

}  // namespace norvid::platform
