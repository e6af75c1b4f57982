#include <unistd.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/Paths.hpp"
#include "platform/SocketClient.hpp"
#include "tools/CommandCatalog.hpp"
#include "tools/RequestBuilder.hpp"
#include "tools/ResponseFormatter.hpp"
#include "tools/ScanProgressBar.hpp"

namespace {

void printUsage() {
  std::cerr << "Uso: norvidctl COMMAND [key=value ...] [--raw]\n"
               "     norvidctl --json '{\"command\":\"status\"}'\n"
               "     norvidctl help [COMMAND]\n"
               "The socket is $NORVID_SOCKET or /run/NorvidCoreService.sock.\n";
}

// `help`, `help COMMAND` and the lists the shell completion reads; -1 when `args` is none.
int runLocalCommand(const std::vector<std::string>& args) {
  const std::string& first = args[0];
  if (first == "--list-commands") {
    for (const auto& command : norvid::CommandCatalog::commands()) {
      std::cout << command.name << "\n";
    }
    return 0;
  }
  if (first == "--list-members") {
    if (args.size() < 2) return 2;
    if (auto command = norvid::CommandCatalog::find(args[1])) {
      for (const auto& member : command->members) std::cout << member.name << "\n";
    }
    return 0;
  }
  if (first != "help" && first != "--help" && first != "-h") return -1;
  if (args.size() < 2) {
    std::cout << norvid::CommandCatalog::helpText();
    return 0;
  }
  auto command = norvid::CommandCatalog::find(args[1]);
  if (!command) {
    std::cerr << "norvidctl: comando desconocido: " << args[1] << "\n";
    return 2;
  }
  std::cout << command->name << (command->adminOnly ? "  (admin)" : "") << "\n  "
            << command->summary << "\n";
  for (const auto& member : command->members) {
    std::cout << "  " << member.name
              << (member.required ? "  (obligatorio)"
                                  : "  (opcional, por defecto \"" + member.fallback + "\")")
              << "\n";
  }
  std::cout << "Ejemplo: norvidctl " << command->example << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    printUsage();
    return 2;
  }
  if (int code = runLocalCommand(args); code >= 0) return code;
  std::string error;
  auto parsed = norvid::RequestBuilder::parse(args, &error);
  if (!parsed) {
    std::cerr << "norvidctl: " << error << "\n";
    printUsage();
    return 2;
  }
  const std::string socket = norvid::platform::socketPath();
  // On a terminal a directory scan shows its progress and Ctrl-C cancels it.
  auto response = norvid::ScanProgressBar::send(socket, parsed->request, parsed->raw);
  if (!response) {
    std::cerr << "norvidctl: no se pudo conectar con el servicio: " << response.message() << "\n";
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
    const bool terminal = !parsed->raw && ::isatty(STDOUT_FILENO);
    if (terminal && !parsed->literal) {
      auto text =
          norvid::ResponseFormatter::format(nlohmann::json::parse(parsed->request), parsedResponse);
      std::cout << text.out;
      std::cerr << text.err;
    } else if (terminal) {
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
