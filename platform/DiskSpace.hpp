#pragma once

#include <cstdint>
#include <string>

namespace norvid::platform {

// Space the service keeps free on a file system it writes to: the smaller of 5 % of the file
// system and 256 MiB. A write that would leave less is refused, so that a quarantine or a report
// cannot fill the disk the service (and everything else on it) needs.
std::uint64_t diskReserveFor(std::uint64_t capacity);

// True when writing `bytes` more below `directory` (or its nearest existing parent) leaves at least
// the reserve free. On false, `detail` names the figures (or the error that kept them unknown).
bool leavesDiskReserve(const std::string& directory, std::uint64_t bytes,
                       std::string* detail = nullptr);

}  // namespace norvid::platform
