#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace norvid {

// Turns a service response into text for a person at a terminal: one line per file for scans
// (`PATH: OK`, `PATH: <threat> FOUND`) with a summary, aligned tables for the lists, "key: value"
// lines for the rest. Error responses become one message for the error stream.
class ResponseFormatter {
 public:
  struct Text {
    std::string out;  // for the standard output
    std::string err;  // for the error stream
  };

  // `request` is the request that was sent (for members the response does not repeat).
  static Text format(const nlohmann::json& request, const nlohmann::json& response);

  // The answer to one of several requests of a run that prints one summary at its end: a scan
  // gives its per-file lines only, any other answer what `format` gives.
  static Text formatOneOfMany(const nlohmann::json& request, const nlohmann::json& response);

  // Only the threats of an answer, one `NAME: <threat> FOUND` line each (for --quiet).
  static std::string threatLines(const nlohmann::json& request, const nlohmann::json& response);

  // Columns padded to their widest cell (counted in characters, not bytes), two spaces apart.
  static std::string table(const std::vector<std::string>& header,
                           const std::vector<std::vector<std::string>>& rows);
};

}  // namespace norvid
