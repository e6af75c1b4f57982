#pragma once

#include <string>
#include <vector>

#include "ipc/CommandRow.hpp"

namespace norvid {

// Turns one request text into one response text through a table of command rows: parse, look up
// the row by exact name, refuse an administrator command to a caller who is not one (before any
// member is looked at), check the required members in order, read the values in order (with
// defaults for the optional ones), call the handler. Every failure becomes an error response;
// nothing escapes. Holds no state beyond the table, so it may be called from many threads.
class CommandDispatcher {
 public:
  // `administratorGroup` names the group whose members may run the administrator commands.
  CommandDispatcher(std::vector<CommandRow> rows, std::string administratorGroup);

  std::string dispatch(const std::string& requestText, const RequestContext& context) const;

 private:
  std::string dispatchParsed(const std::string& requestText, const RequestContext& context) const;

  std::vector<CommandRow> rows_;
  std::string administratorGroup_;
};

}  // namespace norvid
