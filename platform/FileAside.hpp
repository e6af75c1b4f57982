#pragma once

#include <cstdint>
#include <string>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// Renames a file that could not be read to `<path>.corrupt-<seconds>` (with "-1", "-2", ... when
// that name is taken), so that rewriting `path` does not destroy what is in it. Gives where the
// file went, or an empty path when there was no file to move.
Result<std::string> moveFileAside(const std::string& path, std::int64_t seconds);

}  // namespace norvid::platform
