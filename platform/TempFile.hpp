#pragma once

#include <string>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// Creates a fresh, empty, uniquely named file (mode 0600) in the system temporary directory whose
// name starts with `prefix` (mkstemp template prefix + "XXXXXX"). Gives its path.
Result<std::string> createTempFile(const std::string& prefix);

}  // namespace norvid::platform
