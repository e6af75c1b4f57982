#include "tools/RequestBuilder.hpp"

#include <charconv>
#include <cstdint>

#include <nlohmann/json.hpp>

namespace norvid {
namespace {

std::optional<std::int64_t> asInteger(const std::string& value) {
  std::int64_t number = 0;
  const char* begin = value.data();
  const char* end = value.data() + value.size();
  auto [next, error] = std::from_chars(begin, end, number);
  if (value.empty() || error != std::errc() || next != end) return std::nullopt;
  return number;
}

}  // namespace

std::optional<RequestBuilder::Parsed> RequestBuilder::parse(const std::vector<std::string>& args,
                                                            std::string* error) {
  Parsed parsed;
  std::optional<std::string> command;
  std::optional<std::string> literal;
  nlohmann::json request = nlohmann::json::object();
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--raw") {
      parsed.raw = true;
    } else if (arg == "--json") {
      if (i + 1 >= args.size()) {
        *error = "--json needs the request text";
        return std::nullopt;
      }
      literal = args[++i];
    } else if (!command) {
      if (arg.find('=') != std::string::npos) {
        *error = "the command comes first: " + arg;
        return std::nullopt;
      }
      command = arg;
    } else {
      std::size_t equals = arg.find('=');
      if (equals == std::string::npos || equals == 0) {
        *error = "expected key=value: " + arg;
        return std::nullopt;
      }
      std::string key = arg.substr(0, equals);
      std::string value = arg.substr(equals + 1);
      if (auto number = asInteger(value)) {
        request[key] = *number;
      } else {
        request[key] = value;
      }
    }
  }
  if (literal) {
    parsed.request = *literal;
    parsed.literal = true;
    return parsed;
  }
  if (!command) {
    *error = "no command given";
    return std::nullopt;
  }
  request["command"] = *command;
  parsed.request = request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return parsed;
}

}  // namespace norvid
