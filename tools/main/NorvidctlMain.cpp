#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Paths.hpp"
#include "platform/SocketClient.hpp"
#include "tools/RequestBuilder.hpp"
#include "tools/ScanProgressBar.hpp"

namespace {

void printUsage() {
  std::cerr << "Uso: norvidctl COMMAND [key=value ...] [--raw]\n"
               "     norvidctl --json '{\"command\":\"status\"}'\n"
               "The socket is $NORVID_SOCKET or /run/NorvidCoreService.sock.\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    printUsage();
    return args.empty() ? 2 : 0;
  }
  std::string error;
  auto parsed = norvid::RequestBuilder::parse(args, &error);
  if (!parsed) {
    std::cerr << "norvidctl: " << error << "\n";
    printUsage();
    return 2;
  }
  const std::string socket = norvid::platform::socketPath();
  // On a terminal a directory scan shows its progress and Ctrl-C cancels it.
  auto response = norvid::ScanProgressBar::send(socket, parsed->request, parsed->raw, &error);
  if (!response) {
    std::cerr << "norvidctl: no se pudo conectar con el servicio: " << error << "\n";
    return 2;
  }
  if (response->empty()) {
    std::cerr << "norvidctl: el servicio cerró la conexión sin respuesta\n";
    return 1;
  }
  // Only the error envelope counts as failure: "clean" and "threat" are answers too.
  bool ok = false;
  try {
    nlohmann::json parsedResponse = nlohmann::json::parse(*response);
    ok = parsedResponse.is_object() && parsedResponse.value("status", "") != "error";
    if (!parsed->raw && ::isatty(STDOUT_FILENO)) {
      std::cout << parsedResponse.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                << "\n";
    } else {
      std::cout << *response << "\n";
    }
  } catch (const nlohmann::json::exception&) {
    std::cout << *response << "\n";
  }
  return ok ? 0 : 1;
}
