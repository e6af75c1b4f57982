#include "tools/RequestBuilder.hpp"

#include <charconv>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <sstream>

namespace norvid {
namespace {

using nlohmann::json;

std::optional<std::int64_t> asInteger(const std::string& value) {
  std::int64_t number = 0;
  const char* begin = value.data();
  const char* end = value.data() + value.size();
  auto [next, error] = std::from_chars(begin, end, number);
  if (value.empty() || error != std::errc() || next != end) return std::nullopt;
  return number;
}

bool takesPlainPaths(const std::string& command) {
  return command == "scan" || command == "generate_report";
}

std::string dump(const json& request) {
  return request.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A literal request whose `path` is a relative string gets it made absolute; anything else
// (not JSON, not an object, no such member) is sent exactly as written.
std::string absoluteLiteral(const std::string& text, const std::string& workingDirectory) {
  json request = json::parse(text, nullptr, false);
  if (request.is_discarded() || !request.is_object()) return text;
  auto path = request.find("path");
  if (path == request.end() || !path->is_string()) return text;
  const std::string absolute =
      RequestBuilder::absolutePath(path->get<std::string>(), workingDirectory);
  if (absolute == path->get<std::string>()) return text;
  *path = absolute;
  return dump(request);
}

// True when `path` would need the working directory and there is none to take.
bool relativeWithoutDirectory(const std::string& path, const std::string& workingDirectory) {
  return workingDirectory.empty() && RequestBuilder::absolutePath(path, "/") != path;
}

}  // namespace

std::string RequestBuilder::absolutePath(const std::string& path,
                                         const std::string& workingDirectory) {
  if (workingDirectory.empty() || path.empty() || path.front() == '/' || path.front() == '*' ||
      path.front() == '?') {
    return path;
  }
  std::string absolute = workingDirectory;
  std::istringstream components(path);
  std::string component;
  while (std::getline(components, component, '/')) {
    if (component.empty() || component == ".") continue;
    if (absolute.empty() || absolute.back() != '/') absolute += '/';
    absolute += component;
  }
  return absolute.empty() ? "/" : absolute;
}

std::optional<RequestBuilder::Parsed> RequestBuilder::parse(const std::vector<std::string>& args,
                                                            const std::string& workingDirectory,
                                                            std::string* error) {
  Parsed parsed;
  std::optional<std::string> command;
  std::optional<std::string> literal;
  std::vector<std::string> paths;
  bool optionsEnded = false;
  json request = json::object();
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded) {
      paths.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--raw") {
      parsed.raw = true;
    } else if (arg == "--quiet" || arg == "-q") {
      parsed.quiet = true;
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
      if (equals == std::string::npos) {
        paths.push_back(arg);
        continue;
      }
      if (equals == 0) {
        *error = "expected key=value: " + arg;
        return std::nullopt;
      }
      std::string key = arg.substr(0, equals);
      std::string value = arg.substr(equals + 1);
      // A path is text even when it reads as a number (a file named 2024).
      if (auto number = asInteger(value); number && key != "path") {
        request[key] = *number;
      } else if (key == "program_start" && (value == "true" || value == "false")) {
        request[key] = value == "true";  // the one true/false member
      } else {
        request[key] = value;
      }
    }
  }
  if (literal) {
    parsed.requests.push_back(absoluteLiteral(*literal, workingDirectory));
    parsed.literal = true;
    return parsed;
  }
  if (!command) {
    *error = "no command given";
    return std::nullopt;
  }
  if (!paths.empty() && !takesPlainPaths(*command)) {
    *error = "expected key=value: " + paths.front();
    return std::nullopt;
  }
  if (!paths.empty() && request.contains("path")) {
    *error = "give the paths either as path=... or as plain arguments, not both";
    return std::nullopt;
  }
  request["command"] = *command;
  std::vector<std::string> named = paths;
  if (request.contains("path") && request["path"].is_string()) named.push_back(request["path"]);
  for (const std::string& each : named) {
    if (relativeWithoutDirectory(each, workingDirectory)) {
      *error = "the working directory cannot be read for the relative path " + each;
      return std::nullopt;
    }
  }
  auto path = request.find("path");
  if (path != request.end() && path->is_string()) {
    *path = absolutePath(path->get<std::string>(), workingDirectory);
  }
  if (paths.empty()) {
    parsed.requests.push_back(dump(request));
    return parsed;
  }
  for (const std::string& plain : paths) {
    request["path"] = absolutePath(plain, workingDirectory);
    parsed.requests.push_back(dump(request));
  }
  return parsed;
}

}  // namespace norvid
