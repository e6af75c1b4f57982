#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "logging/ServiceEvent.hpp"
#include "platform/CallerIdentity.hpp"
#include "platform/MessageStreams.hpp"

namespace norvid {

// The "subscribe_events" command: a subscriber's connection stays open and receives one JSON
// message per event of the service's event stream as it happens. Root and the administrator
// group hear every event; anyone else hears only about its own requests and about files it owns
// (the owner when the event happened) in a directory it may reach, so it never learns a path it
// could not see. Each subscriber has a bounded queue: events that do not fit are counted and
// announced by a "lost" message once there is room again; one that has let a whole queue's worth
// be lost is dropped (it may subscribe again). Publishing never waits for a subscriber.
class EventSubscriptions {
 public:
  static constexpr std::size_t kQueueCapacity = 256;

  EventSubscriptions(std::string administratorGroup, std::size_t queueCapacity = kQueueCapacity);
  ~EventSubscriptions();
  EventSubscriptions(const EventSubscriptions&) = delete;
  EventSubscriptions& operator=(const EventSubscriptions&) = delete;

  // The answer to "subscribe_events"; asks the transport to keep the connection.
  std::string handleSubscribe(const CallerIdentity& caller) const;

  // Takes a kept connection (the transport's connection taker).
  void adopt(int fd, const CallerIdentity& caller, std::function<void()> release);

  std::size_t subscribers() const;
  // Closes every subscriber's connection (the service stops).
  void closeAll();

  // Whether `caller` (not an administrator) may hear `event`.
  static bool mayHear(const CallerIdentity& caller, const ServiceEvent& event);

 private:
  struct Subscriber {
    CallerIdentity caller;
    bool administrator = false;
    std::uint64_t lost = 0;
  };

  void deliver(const ServiceEvent& event);

  const std::string administratorGroup_;
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::map<std::uint64_t, Subscriber> subscribers_;
  // Declared last: destroyed first, closing the connections while the rest still stands.
  std::unique_ptr<platform::MessageStreams> streams_;
  std::uint64_t listener_ = 0;
};

}  // namespace norvid
