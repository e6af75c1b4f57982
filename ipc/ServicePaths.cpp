#include "ipc/ServicePaths.hpp"

#include "platform/Paths.hpp"
#include "platform/ServiceNotifier.hpp"

namespace norvid {

ServicePaths ServicePaths::fromPlatform() {
  return ServicePaths{platform::executableDirectory(), platform::dataDirectory(),
                      platform::socketPath(), platform::sysfsRoot(),
                      platform::modprobeDirectory(), platform::listeningSocketFromManager()};
}

}  // namespace norvid
