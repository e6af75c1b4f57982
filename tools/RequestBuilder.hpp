#pragma once

#include <optional>
#include <string>
#include <vector>

namespace norvid {

// Builds the request texts of `norvidctl COMMAND [key=value ...] [PATH ...]`: values that read
// as integers become numbers, everything else a string; `--json TEXT` sends TEXT as written.
// A relative `path` member is made absolute against the client's working directory, so the
// service never resolves it against its own. `scan` and `generate_report` also take their paths
// as plain arguments: one request per path, each with the other members.
class RequestBuilder {
 public:
  struct Parsed {
    std::vector<std::string> requests;  // in the order the paths were given
    bool raw = false;                   // print the responses compactly
    bool literal = false;               // the request came from --json as written
    bool quiet = false;                 // print only the threats found
  };

  // Empty optional (and `error` set) when the arguments are not usable. `workingDirectory` is
  // the absolute directory relative paths are taken from.
  static std::optional<Parsed> parse(const std::vector<std::string>& args,
                                     const std::string& workingDirectory, std::string* error);

  // `path` made absolute against `workingDirectory`: "." and empty components dropped, ".."
  // kept (only the kernel knows where it leads through a symbolic link). An absolute or empty
  // path, or one that starts with a wildcard (an exclusion pattern), is returned unchanged.
  static std::string absolutePath(const std::string& path, const std::string& workingDirectory);
};

}  // namespace norvid
