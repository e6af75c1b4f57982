#pragma once

#include <string>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// Sends one request message to the service socket and reads the response until the server
// closes the connection. Fails when the service cannot be reached. A connection closed without
// any answer gives an empty string.
// With `passDescriptor` (not -1), that descriptor travels with the request message (SCM_RIGHTS),
// so the service acts on the very file the client has open.
Result<std::string> sendRequest(const std::string& socketPath, const std::string& request,
                                int passDescriptor = -1);

}  // namespace norvid::platform
