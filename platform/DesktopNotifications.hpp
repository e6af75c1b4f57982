#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// The desktop's notification service (org.freedesktop.Notifications on the session bus).
class DesktopNotifications {
 public:
  virtual ~DesktopNotifications() = default;

  // Shows one notification from `appName`; urgency 0 low, 1 normal, 2 critical. Returns the id
  // the notification service gave it.
  virtual Result<std::uint32_t> show(const std::string& appName, const std::string& summary,
                                     const std::string& body, int urgency) = 0;

  // Connects to the session bus of this user's session; fails when there is none.
  static Result<std::unique_ptr<DesktopNotifications>> onSessionBus();
};

}  // namespace norvid::platform
