#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/RequestContext.hpp"

namespace norvid {

// The values the dispatcher pulled out of a request for its handler.
class CommandArgs {
 public:
  const std::string& text(const std::string& name) const { return texts_.at(name); }
  std::int32_t integer(const std::string& name) const { return integers_.at(name); }
  // An optional list of texts; empty when the request did not carry it.
  std::optional<std::vector<std::string>> textList(const std::string& name) const {
    auto found = textLists_.find(name);
    if (found == textLists_.end()) return std::nullopt;
    return found->second;
  }
  // An optional true/false member; false when the request did not carry it.
  bool flag(const std::string& name) const {
    auto found = flags_.find(name);
    return found != flags_.end() && found->second;
  }
  const CallerIdentity& caller() const { return context_.caller; }
  const RequestContext& context() const { return context_; }

  void setText(const std::string& name, std::string value) { texts_[name] = std::move(value); }
  void setInteger(const std::string& name, std::int32_t value) { integers_[name] = value; }
  void setTextList(const std::string& name, std::vector<std::string> value) {
    textLists_[name] = std::move(value);
  }
  void setFlag(const std::string& name, bool value) { flags_[name] = value; }
  void setContext(const RequestContext& context) { context_ = context; }

 private:
  std::map<std::string, std::string> texts_;
  std::map<std::string, std::int32_t> integers_;
  std::map<std::string, std::vector<std::string>> textLists_;
  std::map<std::string, bool> flags_;
  RequestContext context_;
};

// A text list is always optional and has no default: an absent one is absent for the handler.
// A flag is always optional and false when absent.
enum class ArgType { Text, Integer, TextList, Flag };

// One member the dispatcher reads, in reading order. Optional members carry their default.
struct ArgRead {
  std::string name;
  ArgType type;
  std::optional<nlohmann::json> fallback;
};

// A member that must be present, with the error message for its absence.
struct RequiredMember {
  std::string name;
  std::string missingMessage;
};

using CommandHandler = std::function<std::string(const CommandArgs&)>;

// Who may run a command: anyone who can reach the socket, or only root and the members of the
// administrator group.
enum class Access { Open, Administrator };

// One row of the command table: the name, who may run it, the presence checks in order, the
// reads in order and the handler that builds the response text.
struct CommandRow {
  std::string name;
  Access access;
  std::vector<RequiredMember> required;
  std::vector<ArgRead> reads;
  CommandHandler handler;
};

}  // namespace norvid
