#include "platform/PermissionRequest.hpp"

#include <sys/fanotify.h>
#include <unistd.h>

#include <cerrno>

namespace norvid::platform {

PermissionRequest::PermissionRequest(std::shared_ptr<const int> group, int eventDescriptor)
    : group_(std::move(group)), eventDescriptor_(eventDescriptor) {}

PermissionRequest::~PermissionRequest() { answer(true); }

PermissionRequest::PermissionRequest(PermissionRequest&& other) noexcept
    : group_(std::move(other.group_)), eventDescriptor_(other.eventDescriptor_.exchange(-1)) {}

PermissionRequest& PermissionRequest::operator=(PermissionRequest&& other) noexcept {
  if (this != &other) {
    answer(true);
    group_ = std::move(other.group_);
    eventDescriptor_ = other.eventDescriptor_.exchange(-1);
  }
  return *this;
}

bool PermissionRequest::answer(bool allow) {
  const int descriptor = eventDescriptor_.exchange(-1);
  if (descriptor < 0) return false;
  if (group_ && *group_ >= 0) {
    fanotify_response response{};
    response.fd = descriptor;
    response.response = allow ? FAN_ALLOW : FAN_DENY;
    ssize_t written;
    do {
      written = ::write(*group_, &response, sizeof response);
    } while (written < 0 && errno == EINTR);
    // A failed write leaves the access to the kernel, which allows it once the group closes.
  }
  ::close(descriptor);
  return true;
}

}  // namespace norvid::platform
