#include "ipc/CommandDispatcher.hpp"

#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <vector>

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

// Text members that end up stored in the service's files, with the most bytes each may hold.
struct TextLimit {
  const char* name;
  std::size_t maxBytes;
};
constexpr TextLimit kTextLimits[] = {{"threat_name", 1024}, {"description", 1024}};

std::optional<std::string> textTooLong(const std::string& name, const std::string& value) {
  for (const TextLimit& limit : kTextLimits) {
    if (name == limit.name && value.size() > limit.maxBytes) {
      return "Field '" + name + "' is too long: at most " + std::to_string(limit.maxBytes) +
             " bytes";
    }
  }
  return std::nullopt;
}

// A member read as a 32-bit integer: numbers (fractions cut toward zero) and booleans; any other
// type raises the JSON library's type error. Empty when the number lies outside the type's range,
// which a plain conversion would leave undefined.
std::optional<std::int32_t> integerMember(const nlohmann::json& value) {
  using Limits = std::numeric_limits<std::int32_t>;
  if (value.is_number_unsigned()) {
    const std::uint64_t number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(Limits::max())) return std::nullopt;
    return static_cast<std::int32_t>(number);
  }
  if (value.is_number_integer()) {
    const std::int64_t number = value.get<std::int64_t>();
    if (number < Limits::min() || number > Limits::max()) return std::nullopt;
    return static_cast<std::int32_t>(number);
  }
  if (value.is_number_float()) {
    const double number = std::trunc(value.get<double>());
    if (!(number >= Limits::min() && number <= Limits::max())) return std::nullopt;
    return static_cast<std::int32_t>(number);
  }
  return value.get<std::int32_t>();
}

// A member read as a list of texts: an array whose every element is a string; empty otherwise.
std::optional<std::vector<std::string>> textListMember(const nlohmann::json& value) {
  if (!value.is_array()) return std::nullopt;
  std::vector<std::string> list;
  for (const nlohmann::json& element : value) {
    if (!element.is_string()) return std::nullopt;
    list.push_back(element.get<std::string>());
  }
  return list;
}

}  // namespace

CommandDispatcher::CommandDispatcher(std::vector<CommandRow> rows, std::string administratorGroup)
    : rows_(std::move(rows)), administratorGroup_(std::move(administratorGroup)) {}

std::string CommandDispatcher::dispatch(const std::string& requestText,
                                        const RequestContext& context) const {
  try {
    return dispatchParsed(requestText, context);
  } catch (const nlohmann::json::exception& error) {
    return dispatcherError(std::string("JSON parse error: ") + error.what());
  } catch (const std::exception& error) {
    return dispatcherError(std::string("Error: ") + error.what());
  }
}

std::string CommandDispatcher::dispatchParsed(const std::string& requestText,
                                              const RequestContext& context) const {
  const CallerIdentity& caller = context.caller;
  const nlohmann::json request = nlohmann::json::parse(requestText, nullptr, true, false);
  if (!request.is_object() || !request.contains("command")) {
    return createErrorResponse("Missing 'command' field");
  }
  const std::string command = request.at("command").get<std::string>();

  for (const CommandRow& row : rows_) {
    if (row.name != command) continue;
    if (row.access == Access::Administrator &&
        !platform::isAdministrator(caller, administratorGroup_)) {
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
    args.setContext(context);
    for (const ArgRead& read : row.reads) {
      const bool present = request.contains(read.name);
      if (read.type == ArgType::TextList) {
        if (!present) continue;
        std::optional<std::vector<std::string>> list = textListMember(request.at(read.name));
        if (!list) {
          return createErrorResponse("Field '" + read.name + "' must be an array of strings");
        }
        args.setTextList(read.name, std::move(*list));
        continue;
      }
      if (read.type == ArgType::Flag) {
        if (!present) continue;
        const nlohmann::json& value = request.at(read.name);
        if (!value.is_boolean()) {
          return createErrorResponse("Field '" + read.name + "' must be true or false");
        }
        args.setFlag(read.name, value.get<bool>());
        continue;
      }
      const nlohmann::json& value = present ? request.at(read.name) : *read.fallback;
      if (read.type == ArgType::Text) {
        std::string text = value.get<std::string>();
        if (auto problem = textTooLong(read.name, text)) return createErrorResponse(*problem);
        args.setText(read.name, std::move(text));
      } else {
        std::optional<std::int32_t> number = integerMember(value);
        if (!number) {
          return createErrorResponse("Field '" + read.name +
                                     "' is out of range: a whole number from -2147483648 to "
                                     "2147483647 is expected");
        }
        args.setInteger(read.name, *number);
      }
    }
    return row.handler(args);
  }
  return createErrorResponse("Unknown command: " + command);
}

}  // namespace norvid
