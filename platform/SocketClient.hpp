#pragma once

#include <cstddef>
#include <string>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// Sends one request message to the service socket and reads the response until the server
// closes the connection. Fails when the service cannot be reached. A connection closed without
// any answer gives an empty string. When `descriptor` is not negative, a copy of it travels with
// the request (SCM_RIGHTS), so the service can read the very file the caller has open.
Result<std::string> sendRequest(const std::string& socketPath, const std::string& request,
                                int descriptor = -1);

// Sends `message` as one message on the connected socket `socket`, with a copy of `descriptor`
// attached when it is not negative. Gives the count of bytes sent; the failure carries the errno
// (EAGAIN on a full non-blocking socket, EPIPE when the peer is gone).
Result<std::size_t> sendWithDescriptor(int socket, const std::string& message, int descriptor);

}  // namespace norvid::platform
