#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace norvid {

// Serialises a response compactly: no spaces, members sorted, raw UTF-8. A string that is not
// valid UTF-8 throws the JSON library's type error 316.
inline std::string serializeResponse(const nlohmann::json& response) {
  return response.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

// The error envelope: exactly {"error":message,"status":"error"}.
inline std::string createErrorResponse(const std::string& message) {
  return serializeResponse(nlohmann::json{{"error", message}, {"status", "error"}});
}

}  // namespace norvid
