#include "ipc/ServicePaths.hpp"

#include "platform/Paths.hpp"

namespace norvid {

ServicePaths ServicePaths::fromPlatform() {
  return ServicePaths{platform::executableDirectory(), platform::dataDirectory(),
                      platform::socketPath(), platform::sysfsRoot(),
                      platform::modprobeDirectory()};
}

}  // namespace norvid
