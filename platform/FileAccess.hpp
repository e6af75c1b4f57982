#pragma once

#include <string>

#include "platform/CallerIdentity.hpp"
#include "platform/PinnedFile.hpp"

namespace norvid::platform {

// True when `caller` could delete `path` itself: it has write and search permission on the
// file's directory (owner, then group with supplementary groups, then others, as the kernel
// decides), and in a sticky directory it owns the file or the directory. A privileged caller
// may always. The path must name a regular file, not a symbolic link. On false, `reason` says why.
bool callerMayDelete(const std::string& path, const CallerIdentity& caller, std::string* reason);

// The same check on a file that is already open, so that it cannot change before it is used.
bool callerMayDelete(const PinnedFile& file, const CallerIdentity& caller, std::string* reason);

// Creates `path` and any missing parents; the last directory gets permissions 0700. An existing
// directory is left as it is. Returns false (with `error`) when the path cannot be made a
// directory.
bool createPrivateDirectory(const std::string& path, std::string* error = nullptr);

}  // namespace norvid::platform
