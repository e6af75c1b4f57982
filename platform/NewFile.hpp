#pragma once

#include <string>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// Both are answers, not failures: a caller that races for a name draws another when it is taken.
enum class NewFileOutcome { Created, AlreadyExists };

// Creates `path` as a new empty file (mode 0644), failing when any file of that name exists. The
// test and the creation are one step, so two writers racing for the same name never both win.
// Fails only when the file could not be created for another reason than its name being taken.
Result<NewFileOutcome> createNewFile(const std::string& path);

}  // namespace norvid::platform
