#include "ipc/CommandDispatcher.hpp"

#include <exception>

#include "ipc/JsonResponse.hpp"
#include "logging/EventLogger.hpp"
#include "platform/AdministratorGroup.hpp"

namespace norvid {
namespace {

// The dispatcher's own error answers must always serialise, even when the message quotes bytes
// that are not UTF-8 (the parser's "last read" text, an exception naming such a path): those
// bytes become U+FFFD instead of a second exception that nothing would catch.
std::string dispatcherError(const std::string& message) {
  return nlohmann::json{{"error", message}, {"status", "error"}}.dump(
      -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

CommandDispatcher::CommandDispatcher(std::vector<CommandRow> rows) : rows_(std::move(rows)) {}

std::string CommandDispatcher::dispatch(const std::string& requestText,
                                        const CallerIdentity& caller) const {
  try {
    return dispatchParsed(requestText, caller);
  } catch (const nlohmann::json::exception& error) {
    return dispatcherError(std::string("JSON parse error: ") + error.what());
  } catch (const std::exception& error) {
    return dispatcherError(std::string("Error: ") + error.what());
  }
}

std::string CommandDispatcher::dispatchParsed(const std::string& requestText,
                                              const CallerIdentity& caller) const {
  const nlohmann::json request = nlohmann::json::parse(requestText, nullptr, true, false);
  if (!request.is_object() || !request.contains("command")) {
    return createErrorResponse("Missing 'command' field");
  }
  const std::string command = request.at("command").get<std::string>();

  for (const CommandRow& row : rows_) {
    if (row.name != command) continue;
    if (row.access == Access::Administrator && !platform::isAdministrator(caller)) {
      EventLogger::instance().warning("Acceso denegado: uid " + std::to_string(caller.uid) +
                                      " intentó ejecutar " + row.name +
                                      " sin privilegios de administrador");
      return createErrorResponse("Acceso denegado: " + row.name +
                                 " requiere privilegios de administrador");
    }
    for (const RequiredMember& member : row.required) {
      if (!request.contains(member.name)) return createErrorResponse(member.missingMessage);
    }
    CommandArgs args;
    args.setCaller(caller);
    for (const ArgRead& read : row.reads) {
      const bool present = request.contains(read.name);
      const nlohmann::json& value = present ? request.at(read.name) : *read.fallback;
      if (read.type == ArgType::Text) {
        args.setText(read.name, value.get<std::string>());
      } else {
        args.setInteger(read.name, value.get<std::int32_t>());
      }
    }
    return row.handler(args);
  }
  return createErrorResponse("Unknown command: " + command);
}

}  // namespace norvid
