#pragma once

#include <optional>
#include <string>
#include <vector>

namespace norvid {

// Builds the request text of `norvidctl COMMAND [key=value ...]`: values that read as integers
// become numbers, everything else a string; `--json TEXT` sends TEXT as written.
class RequestBuilder {
 public:
  struct Parsed {
    std::string request;
    bool raw = false;      // print the response compactly
    bool literal = false;  // the request came from --json as written
  };

  // Empty optional (and `error` set) when the arguments are not usable.
  static std::optional<Parsed> parse(const std::vector<std::string>& args, std::string* error);
};

}  // namespace norvid
