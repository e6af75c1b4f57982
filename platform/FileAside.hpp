#pragma once

#include <cstdint>
#include <string>

namespace norvid::platform {

// Renames a file that could not be read to `<path>.corrupt-<seconds>` (with "-1", "-2", ... when
// that name is taken), so that rewriting `path` does not destroy what is in it. True when the
// file was moved (`movedTo` names where) or did not exist (`movedTo` left empty).
bool moveFileAside(const std::string& path, std::int64_t seconds, std::string& movedTo);

}  // namespace norvid::platform
