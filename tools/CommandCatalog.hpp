#pragma once

#include <optional>
#include <string>
#include <vector>

namespace norvid {

// What norvidctl knows of the service's commands, for its help, its manual page and the shell
// completion: each command with its members, who may run it and an example.
class CommandCatalog {
 public:
  struct Member {
    std::string name;
    bool required = true;
    std::string fallback;  // the service's default for an optional member
  };

  struct Command {
    std::string name;
    std::vector<Member> members;
    bool adminOnly = false;
    std::string summary;
    std::string example;  // the arguments after `norvidctl`
  };

  static const std::vector<Command>& commands();
  static std::optional<Command> find(const std::string& name);

  // The text of `norvidctl help`: usage, then every command with its members.
  static std::string helpText();
};

}  // namespace norvid
