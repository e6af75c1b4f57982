#include "update/UpdateOptions.hpp"

namespace norvid::update {

std::optional<UpdateOptions> UpdateOptions::parse(const std::vector<std::string>& arguments,
                                                  std::string& error) {
  UpdateOptions options;
  int actions = 0;
  auto value = [&](std::size_t& i, const std::string& flag) -> std::optional<std::string> {
    if (i + 1 >= arguments.size()) {
      error = flag + " needs a value";
      return std::nullopt;
    }
    return arguments[++i];
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--feed") {
      auto name = value(i, argument);
      if (!name) return std::nullopt;
      options.feeds.push_back(*name);
    } else if (argument == "--status") {
      options.action = Action::Status;
      ++actions;
    } else if (argument == "--json") {
      options.json = true;
    } else if (argument == "--rollback") {
      auto name = value(i, argument);
      if (!name) return std::nullopt;
      options.action = Action::Rollback;
      options.name = *name;
      ++actions;
    } else if (argument == "--import") {
      auto name = value(i, argument);
      if (!name) return std::nullopt;
      auto file = value(i, argument);
      if (!file) {
        error = "--import needs a feed name and a file";
        return std::nullopt;
      }
      options.action = Action::Import;
      options.name = *name;
      options.file = *file;
      ++actions;
    } else if (argument == "--help" || argument == "-h") {
      options.action = Action::Help;
      return options;
    } else {
      error = "unknown argument: " + argument;
      return std::nullopt;
    }
  }
  if (actions > 1) {
    error = "--status, --rollback and --import exclude one another";
    return std::nullopt;
  }
  if (options.json && options.action != Action::Status) {
    error = "--json goes with --status";
    return std::nullopt;
  }
  if (!options.feeds.empty() && options.action != Action::Update &&
      options.action != Action::Status) {
    error = "--feed goes with an update or --status";
    return std::nullopt;
  }
  return options;
}

std::string UpdateOptions::usage() {
  return "usage: norvid-update [--feed NAME]...\n"
         "       norvid-update --status [--feed NAME]... [--json]\n"
         "       norvid-update --rollback NAME\n"
         "       norvid-update --import NAME FILE";
}

}  // namespace norvid::update
