#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/CallerIdentity.hpp"
#include "platform/SystemError.hpp"

namespace norvid::platform {

// Creates `path` and any missing parents; the last directory gets permissions 0700. An existing
// directory is left as it is. Fails when the path cannot be made a directory.
Result<> createPrivateDirectory(const std::string& path);

// Records that administrators may read but other users may not (event logs, reports): a file
// gets mode 0640, a directory 0750, and both the group `administratorGroup` when it exists (else
// root's group). `shareDirectoryWithAdministrators` creates the directory and its parents first;
// `shareFileWithAdministrators` creates a missing file empty, never through a symbolic link.
// Fails when a step fails.
Result<> shareDirectoryWithAdministrators(const std::string& path,
                                          const std::string& administratorGroup);
Result<> shareFileWithAdministrators(const std::string& path, const std::string& administratorGroup);

// The owner of the file at `path` (symbolic links followed), or nothing when its status cannot be
// read (gone, or out of the calling thread's reach).
std::optional<std::uint32_t> fileOwner(const std::string& path);

// Whether `caller` may reach the directory that holds `path`: every directory on the way
// searchable with its file-system identity. The file itself need not exist any more.
bool mayReachDirectoryOf(const std::string& path, const CallerIdentity& caller);

}  // namespace norvid::platform
