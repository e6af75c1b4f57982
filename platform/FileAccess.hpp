#pragma once

#include <string>

namespace norvid::platform {

// Creates `path` and any missing parents; the last directory gets permissions 0700. An existing
// directory is left as it is. Returns false (with `error`) when the path cannot be made a
// directory.
bool createPrivateDirectory(const std::string& path, std::string* error = nullptr);

// Records that administrators may read but other users may not (event logs, reports): a file
// gets mode 0640, a directory 0750, and both the administrator group when it exists (else root's
// group). `shareDirectoryWithAdministrators` creates the directory and its parents first;
// `shareFileWithAdministrators` creates a missing file empty, never through a symbolic link.
// False (with `error`) when a step fails.
bool shareDirectoryWithAdministrators(const std::string& path, std::string* error = nullptr);
bool shareFileWithAdministrators(const std::string& path, std::string* error = nullptr);

}  // namespace norvid::platform
