#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/ClientConnection.hpp"
#include "platform/Paths.hpp"
#include "platform/SocketClient.hpp"
#include "tools/CommandCatalog.hpp"
#include "tools/RequestBuilder.hpp"
#include "tools/ResponseFormatter.hpp"
#include "tools/RunOutcome.hpp"
#include "tools/ScanProgressBar.hpp"

namespace {

void printUsage() {
  std::cerr << "Uso: norvidctl COMMAND [key=value ...] [--raw] [--quiet]\n"
               "     norvidctl scan|generate_report [key=value ...] PATH...\n"
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

// Prints one answer as the run's options ask: only its threats (--quiet), text for a person on
// a terminal, or the service's JSON as it came for scripts.
void printAnswer(const norvid::RequestBuilder::Parsed& parsed, const std::string& request,
                 const std::string& response, bool oneOfMany) {
  const nlohmann::json requestJson = nlohmann::json::parse(request, nullptr, false);
  const nlohmann::json responseJson = nlohmann::json::parse(response, nullptr, false);
  if (responseJson.is_discarded()) {
    std::cout << response << "\n";
    return;
  }
  const bool terminal = !parsed.raw && ::isatty(STDOUT_FILENO);
  if (parsed.quiet || (terminal && !parsed.literal)) {
    auto text = oneOfMany ? norvid::ResponseFormatter::formatOneOfMany(requestJson, responseJson)
                          : norvid::ResponseFormatter::format(requestJson, responseJson);
    std::cout << (parsed.quiet ? norvid::ResponseFormatter::threatLines(requestJson, responseJson)
                               : text.out);
    std::cerr << text.err;
  } else if (terminal) {
    std::cout << responseJson.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    std::cout << response << "\n";
  }
}
// "subscribe_events": prints each message as it comes, one line each, until the service closes
// the connection (or the user interrupts).
int followEvents(const std::string& socket, const std::string& request) {
  auto connection = norvid::platform::ClientConnection::connectTo(socket);
  if (!connection || !connection->sendMessage(request)) {
    std::cerr << "norvidctl: no se pudo conectar con el servicio\n";
    return norvid::RunOutcome::kFailed;
  }
  bool first = true;
  for (;;) {
    auto message = connection->receiveMessage(std::chrono::milliseconds(-1));
    if (!message) {
      std::cerr << "norvidctl: " << message.message() << "\n";
      return norvid::RunOutcome::kFailed;
    }
    if (!*message) return first ? norvid::RunOutcome::kFailed : norvid::RunOutcome::kNothingFound;
    std::cout << **message << std::endl;
    if (first) {
      const auto answer = nlohmann::json::parse(**message, nullptr, false);
      if (!answer.is_object() || answer.value("status", "") != "ok") {
        return norvid::RunOutcome::kFailed;
      }
      first = false;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    printUsage();
    return norvid::RunOutcome::kFailed;
  }
  if (int code = runLocalCommand(args); code >= 0) return code;
  // Empty when it cannot be read: then only a relative path is refused.
  std::error_code cwdError;
  const std::string workingDirectory = std::filesystem::current_path(cwdError).string();
  std::string error;
  auto parsed = norvid::RequestBuilder::parse(args, workingDirectory, &error);
  if (!parsed) {
    std::cerr << "norvidctl: " << error << "\n";
    printUsage();
    return norvid::RunOutcome::kFailed;
  }
  const std::string socket = norvid::platform::socketPath();
  if (parsed->requests.size() == 1) {
    const auto request = nlohmann::json::parse(parsed->requests.front(), nullptr, false);
    if (request.is_object() && request.contains("command") &&
        request["command"] == "subscribe_events") {
      return followEvents(socket, parsed->requests.front());
    }
  }
  const bool many = parsed->requests.size() > 1;
  norvid::RunOutcome outcome;
  for (const std::string& request : parsed->requests) {
    const nlohmann::json requestJson = nlohmann::json::parse(request, nullptr, false);
    // On a terminal a directory scan shows its progress and Ctrl-C cancels it.
    auto response = norvid::ScanProgressBar::send(socket, request, parsed->raw || parsed->quiet);
    if (!response) {
      std::cerr << "norvidctl: no se pudo conectar con el servicio: " << response.message() << "\n";
      outcome.add(requestJson, "");
      break;
    }
    outcome.add(requestJson, *response);
    if (response->empty()) {
      std::cerr << "norvidctl: el servicio cerró la conexión sin respuesta\n";
      continue;
    }
    printAnswer(*parsed, request, *response, many);
  }
  if (many && !parsed->quiet && !parsed->raw && ::isatty(STDOUT_FILENO)) {
    std::cout << "\n" << outcome.summary();
  }
  return outcome.exitCode();
}
