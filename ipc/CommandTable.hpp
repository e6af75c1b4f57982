#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ipc/CommandRow.hpp"

namespace norvid {

// The service's commands as data: every row's name, required members with their messages and
// the members read (in reading order, with defaults). `handlerFor` supplies the handler of each
// command by name.
class CommandTable {
 public:
  static std::vector<CommandRow> build(
      const std::function<CommandHandler(const std::string& command)>& handlerFor);
};

}  // namespace norvid
