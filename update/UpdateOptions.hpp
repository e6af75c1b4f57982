#pragma once

#include <optional>
#include <string>
#include <vector>

namespace norvid::update {

// The command line of norvid-update.
struct UpdateOptions {
  enum class Action { Update, Status, Rollback, Import, Help };

  Action action = Action::Update;
  std::vector<std::string> feeds;  // --feed NAME (repeatable); empty: every enabled feed
  bool json = false;               // --status --json
  std::string name;                // --rollback NAME, --import NAME FILE
  std::string file;                // --import NAME FILE

  // Nothing, with `error` set, for bad usage.
  static std::optional<UpdateOptions> parse(const std::vector<std::string>& arguments,
                                            std::string& error);
  static std::string usage();
};

}  // namespace norvid::update
