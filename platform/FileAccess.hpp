#pragma once

#include <string>

namespace norvid::platform {

// Creates `path` and any missing parents; the last directory gets permissions 0700. An existing
// directory is left as it is. Returns false (with `error`) when the path cannot be made a
// directory.
bool createPrivateDirectory(const std::string& path, std::string* error = nullptr);

}  // namespace norvid::platform
