#include <iostream>
#include <string>
#include <vector>

#include "platform/Paths.hpp"
#include "platform/ServiceNotifier.hpp"
#include "platform/StopSignals.hpp"
#include "platform/linux/SystemdServiceManager.hpp"
#include "service/CommandLine.hpp"
#include "service/NorvidCoreServiceImpl.hpp"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  norvid::platform::SystemdServiceManager manager;
  norvid::NorvidCoreServiceImpl service(manager, std::cout, std::cerr,
                                        norvid::ServiceConfiguration::fromEnvironment());

  norvid::CommandLineContext context{std::cout, std::cerr,
                                     norvid::platform::startedByServiceManager(),
                                     norvid::platform::executablePath(), nullptr};
  context.runService = [&service](bool managed) {
    norvid::platform::StopSignals signals([&service] { service.requestStop(); });
    if (managed) {
      service.serviceMain();
    } else {
      service.run();
    }
    // Non-zero under systemd too, so that Restart=on-failure restarts a service that never served.
    return service.transportFailed() ? 1 : 0;
  };
  return norvid::runCommandLine(args, service, context);
}
