#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "platform/CallerIdentity.hpp"

namespace norvid {

// What the transport knows of one request beyond its text: who sent it, a descriptor the client
// passed along with it, and whether the client has gone away while it was being served. Requests
// that did not come through the socket carry only a caller.
struct RequestContext {
  RequestContext() = default;
  // Implicit, so that code that only knows a caller can still make a request.
  RequestContext(CallerIdentity identity) : caller(std::move(identity)) {}

  CallerIdentity caller;
  // A descriptor the client sent with its request (SCM_RIGHTS), -1 when none. The transport owns
  // it and closes it once the request is answered.
  int passedDescriptor = -1;
  // Set by the transport once the client has closed its end; null when nobody watches.
  std::shared_ptr<const std::atomic<bool>> hungUp;

  bool clientHungUp() const { return hungUp != nullptr && hungUp->load(); }

  // Handlers that need only the caller take the context where a caller is expected.
  operator const CallerIdentity&() const { return caller; }
};

}  // namespace norvid
