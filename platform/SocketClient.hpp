#pragma once

#include <optional>
#include <string>

namespace norvid::platform {

// Sends one request message to the service socket and reads the response until the server
// closes the connection. Empty optional when the service cannot be reached (`error` says why).
// A connection closed without any answer gives an empty string.
std::optional<std::string> sendRequest(const std::string& socketPath, const std::string& request,
                                       std::string* error = nullptr);

}  // namespace norvid::platform
