// norvid-notify: runs in a desktop session, subscribes to the service's events and shows them as
// desktop notifications. It waits for the service (and comes back after a restart of it) and
// exits quietly where there is no session bus.
#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "notify/NotificationText.hpp"
#include "platform/ClientConnection.hpp"
#include "platform/DesktopNotifications.hpp"
#include "platform/Paths.hpp"

namespace {

using namespace std::chrono_literals;

// Events that come within this long of each other make one burst, shown as one notification.
constexpr auto kBurstGap = 500ms;
constexpr std::size_t kMaxBurst = 200;

// Follows one subscription until the service closes it.
void follow(norvid::platform::ClientConnection& connection,
            norvid::platform::DesktopNotifications& desktop) {
  auto answer = connection.receiveMessage(std::chrono::milliseconds(-1));
  if (!answer || !*answer) return;
  const auto first = nlohmann::json::parse(**answer, nullptr, false);
  if (!first.is_object() || first.value("status", "") != "ok") return;
  for (;;) {
    auto message = connection.receiveMessage(std::chrono::milliseconds(-1));
    if (!message || !*message) return;
    std::vector<nlohmann::json> burst{nlohmann::json::parse(**message, nullptr, false)};
    bool closed = false;
    while (burst.size() < kMaxBurst) {
      auto more = connection.receiveMessage(
          std::chrono::duration_cast<std::chrono::milliseconds>(kBurstGap));
      if (!more) break;  // the gap: the burst is over
      if (!*more) {
        closed = true;
        break;
      }
      burst.push_back(nlohmann::json::parse(**more, nullptr, false));
    }
    if (auto text = norvid::NotificationText::forBurst(burst)) {
      auto shown = desktop.show("Norvid Shield", text->summary, text->body, text->urgency);
      if (!shown) std::cerr << "norvid-notify: " << shown.message() << "\n";
    }
    if (closed) return;
  }
}

}  // namespace

int main() {
  auto desktop = norvid::platform::DesktopNotifications::onSessionBus();
  if (!desktop) return 0;  // no desktop session: nothing to show anything on
  const std::string socket = norvid::platform::socketPath();
  auto wait = 1s;
  for (;;) {
    auto connection = norvid::platform::ClientConnection::connectTo(socket);
    if (connection && connection->sendMessage(R"({"command":"subscribe_events"})")) {
      wait = 1s;
      follow(*connection, **desktop);
    }
    // The service is down or restarting: try again, less often the longer it stays away.
    std::this_thread::sleep_for(wait);
    wait = std::min<std::chrono::seconds>(wait * 2, 30s);
  }
}
