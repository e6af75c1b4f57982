#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace norvid {

// What a desktop notification says about the service's events: a summary line and a body with
// the file's name, the threat and what was done. Events a person need not be told about (a clean
// scan's end) give nothing; a burst of events gives one notification that sums them up.
class NotificationText {
 public:
  struct Text {
    std::string summary;
    std::string body;
    // Urgency for the notification service: 1 normal, 2 critical.
    int urgency = 1;
  };

  // The notification for one event message, or nothing for an event not worth one.
  static std::optional<Text> forEvent(const nlohmann::json& event);

  // One notification for the events of a burst (those worth one); nothing when none is.
  static std::optional<Text> forBurst(const std::vector<nlohmann::json>& events);
};

}  // namespace norvid
