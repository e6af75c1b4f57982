#include "platform/CurrentProcess.hpp"

#include <unistd.h>

namespace norvid::platform {

std::int32_t currentProcessId() { return static_cast<std::int32_t>(::getpid()); }

}  // namespace norvid::platform
