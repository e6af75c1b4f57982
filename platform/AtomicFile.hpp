#pragma once

#include <filesystem>
#include <string>

namespace norvid::platform {

// Writes `content` to `path` so that readers only ever see the old file or the complete new one:
// the bytes go to a temporary file in the same directory, which is flushed to disk and then
// renamed over `path`. The file gets the permissions `mode`. Returns false (and leaves the old
// file untouched, the temporary file removed) when any step fails; `error` then names the cause
// and errno holds its code.
bool writeFileAtomically(const std::string& path, const std::string& content,
                         std::filesystem::perms mode = std::filesystem::perms::owner_read |
                                                       std::filesystem::perms::owner_write |
                                                       std::filesystem::perms::group_read |
                                                       std::filesystem::perms::others_read,
                         std::string* error = nullptr);

// Removes the temporary files that writes of `path` left behind when the process died before their
// rename. REQUIRES: no write of `path` is under way.
void removeAtomicWriteLeftovers(const std::string& path);

}  // namespace norvid::platform
