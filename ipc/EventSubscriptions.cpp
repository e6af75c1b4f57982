#include "ipc/EventSubscriptions.hpp"

#include <nlohmann/json.hpp>

#include "ipc/JsonResponse.hpp"
#include "logging/ServiceEvents.hpp"
#include "platform/AdministratorGroup.hpp"
#include "platform/FileAccess.hpp"
#include "platform/SocketTransport.hpp"

namespace norvid {
namespace {

std::string messageText(const nlohmann::json& message) {
  // A path that is not UTF-8 is shown with replacement characters rather than lost.
  return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

EventSubscriptions::EventSubscriptions(std::string administratorGroup, std::size_t queueCapacity)
    : administratorGroup_(std::move(administratorGroup)),
      capacity_(queueCapacity),
      streams_(std::make_unique<platform::MessageStreams>(queueCapacity)) {
  listener_ =
      ServiceEvents::instance().addListener([this](const ServiceEvent& event) { deliver(event); });
}

EventSubscriptions::~EventSubscriptions() {
  ServiceEvents::instance().removeListener(listener_);
  streams_.reset();
}

std::string EventSubscriptions::handleSubscribe(const CallerIdentity& caller) const {
  platform::SocketTransport::keepConnection();
  const bool everything = platform::isAdministrator(caller, administratorGroup_);
  return serializeResponse(
      {{"command", "subscribe_events"},
       {"scope", everything ? "all" : "own"},
       {"status", "ok"},
       {"message", "Suscrito a los eventos del servicio: un mensaje JSON por evento"}});
}

void EventSubscriptions::adopt(int fd, const CallerIdentity& caller,
                               std::function<void()> release) {
  Subscriber subscriber;
  subscriber.caller = caller;
  subscriber.administrator = platform::isAdministrator(caller, administratorGroup_);
  std::lock_guard<std::mutex> lock(mutex_);
  // The id is known only after add(); the stream's close removes the subscriber by it.
  auto id = std::make_shared<std::uint64_t>(0);
  *id = streams_->add(fd, [this, id, release = std::move(release)] {
    {
      std::lock_guard<std::mutex> inner(mutex_);
      subscribers_.erase(*id);
    }
    release();
  });
  subscribers_.emplace(*id, std::move(subscriber));
}

void EventSubscriptions::closeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, subscriber] : subscribers_) streams_->close(id);
}

std::size_t EventSubscriptions::subscribers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return subscribers_.size();
}

bool EventSubscriptions::mayHear(const CallerIdentity& caller, const ServiceEvent& event) {
  // Its own request: the paths are those it named or walked with its own identity.
  if (event.callerUid && *event.callerUid == caller.uid) return true;
  // Not about a file (a rule reload): nothing private in it.
  if (event.path.empty()) return event.kind == ServiceEventKind::RulesReloaded;
  if (!event.ownerUid || *event.ownerUid != caller.uid) return false;
  return platform::mayReachDirectoryOf(event.path, caller);
}

void EventSubscriptions::deliver(const ServiceEvent& event) {
  std::string text;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [id, subscriber] : subscribers_) {
    if (!subscriber.administrator && !mayHear(subscriber.caller, event)) continue;
    using Post = platform::MessageStreams::Post;
    Post posted = Post::Queued;
    if (subscriber.lost > 0) {
      // The notice goes before the next event it hears: while the notice does not fit, the
      // event is lost too, even if the sending thread has made room for it in between.
      const nlohmann::json lost{{"event", "lost"}, {"lost", subscriber.lost}};
      posted = streams_->post(id, messageText(lost));
      if (posted == Post::Queued) subscriber.lost = 0;
    }
    if (posted == Post::Queued) {
      if (text.empty()) text = messageText(event.toJson());
      posted = streams_->post(id, text);
    }
    if (posted == Post::Full && ++subscriber.lost >= capacity_) {
      // A whole queue's worth lost: it does not read; drop it so that it may start afresh.
      streams_->close(id);
    }
  }
}

}  // namespace norvid
