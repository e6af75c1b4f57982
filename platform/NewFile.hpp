#pragma once

#include <string>

namespace norvid::platform {

enum class NewFileOutcome { Created, AlreadyExists, Failed };

// Creates `path` as a new empty file (mode 0644), failing when any file of that name exists. The
// test and the creation are one step, so two writers racing for the same name never both win.
// On Failed, `error` (when given) names the cause.
NewFileOutcome createNewFile(const std::string& path, std::string* error = nullptr);

}  // namespace norvid::platform
