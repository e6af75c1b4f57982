#pragma once

#include <filesystem>
#include <string>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// Writes `content` to `path` so that readers only ever see the old file or the complete new one:
// the bytes go to a temporary file in the same directory, which is flushed to disk and then
// renamed over `path`. The file gets the permissions `mode`. When any step fails, the old file is
// left untouched, the temporary file removed, and the failure names the step.
Result<> writeFileAtomically(const std::string& path, const std::string& content,
                             std::filesystem::perms mode = std::filesystem::perms::owner_read |
                                                           std::filesystem::perms::owner_write |
                                                           std::filesystem::perms::group_read |
                                                           std::filesystem::perms::others_read);

// Removes the temporary files that writes of `path` left behind when the process died before their
// rename. REQUIRES: no write of `path` is under way.
void removeAtomicWriteLeftovers(const std::string& path);

// The same for every file written atomically in `directory`, for directories of files with unique
// names. REQUIRES: no atomic write into `directory` is under way.
void removeAtomicWriteLeftoversIn(const std::string& directory);

}  // namespace norvid::platform
