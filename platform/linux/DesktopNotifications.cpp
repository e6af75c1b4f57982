#include "platform/DesktopNotifications.hpp"

#include <systemd/sd-bus.h>

namespace norvid::platform {
namespace {

class SessionBusNotifications final : public DesktopNotifications {
 public:
  explicit SessionBusNotifications(sd_bus* bus) : bus_(bus) {}
  ~SessionBusNotifications() override { sd_bus_flush_close_unref(bus_); }
  SessionBusNotifications(const SessionBusNotifications&) = delete;
  SessionBusNotifications& operator=(const SessionBusNotifications&) = delete;

  Result<std::uint32_t> show(const std::string& appName, const std::string& summary,
                             const std::string& body, int urgency) override {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout).
    const int result = sd_bus_call_method(
        bus_, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.freedesktop.Notifications", "Notify", &error, &reply, "susssasa{sv}i", appName.c_str(),
        0u, "dialog-warning", summary.c_str(), body.c_str(), 0, 1, "urgency", "y",
        static_cast<std::uint8_t>(urgency), -1);
    if (result < 0) {
      std::string message = error.message != nullptr ? error.message : "Notify";
      sd_bus_error_free(&error);
      return Failure{-result, message};
    }
    std::uint32_t id = 0;
    const int read = sd_bus_message_read(reply, "u", &id);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (read < 0) return Failure::ofErrno(-read, "Notify reply");
    return id;
  }

 private:
  sd_bus* bus_;
};

}  // namespace

Result<std::unique_ptr<DesktopNotifications>> DesktopNotifications::onSessionBus() {
  sd_bus* bus = nullptr;
  const int result = sd_bus_open_user(&bus);
  if (result < 0) return Failure::ofErrno(-result, "session bus");
  return std::unique_ptr<DesktopNotifications>(std::make_unique<SessionBusNotifications>(bus));
}

}  // namespace norvid::platform
