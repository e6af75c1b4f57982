#pragma once

#include <string>

namespace norvid::platform {

// The text of an errno value ("No such file or directory").
std::string errnoText(int code);

// The errno of the last failed system call in this thread.
int lastErrno();

}  // namespace norvid::platform
