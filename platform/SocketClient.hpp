#pragma once

#include <string>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// Sends one request message to the service socket and reads the response until the server
// closes the connection. Fails when the service cannot be reached. A connection closed without
// any answer gives an empty string.
Result<std::string> sendRequest(const std::string& socketPath, const std::string& request);

}  // namespace norvid::platform
