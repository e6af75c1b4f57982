#pragma once

#include <string>

namespace norvid::platform {

// Creates a fresh, empty, uniquely named file (mode 0600) in the system temporary directory whose
// name starts with `prefix` (mkstemp template prefix + "XXXXXX"). Returns its path; throws
// std::system_error when it cannot be created.
std::string createTempFile(const std::string& prefix);

}  // namespace norvid::platform
