#pragma once

#include <cstdint>
#include <string>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// Space the service keeps free on a file system it writes to: the smaller of 5 % of the file
// system and 256 MiB. A write that would leave less is refused, so that a quarantine or a report
// cannot fill the disk the service (and everything else on it) needs.
std::uint64_t diskReserveFor(std::uint64_t capacity);

// Succeeds when writing `bytes` more below `directory` (or its nearest existing parent) leaves at
// least the reserve free. Otherwise the failure (ENOSPC, or the errno that kept the figures
// unknown) names the figures or the error.
Result<> leavesDiskReserve(const std::string& directory, std::uint64_t bytes);

}  // namespace norvid::platform
