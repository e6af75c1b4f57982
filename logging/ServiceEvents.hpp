#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "logging/ServiceEvent.hpp"
#include "platform/CallerIdentity.hpp"
#include "platform/JournalWriter.hpp"

namespace norvid {

// The one stream of the service's events: every event goes to the journal (through a
// JournalWriter, the system's own unless replaced) and to every listener, on the thread that
// publishes it. One process-wide instance, like the event log, so that any component can publish
// with one call; the daily event log is written separately and stays as it is.
class ServiceEvents {
 public:
  using Listener = std::function<void(const ServiceEvent&)>;

  static ServiceEvents& instance();

  // Replaces the journal writer (tests record the fields; nullptr writes no journal).
  void setJournalWriter(std::unique_ptr<platform::JournalWriter> writer);

  // Listeners run on the publishing thread, one at a time, and must not block: they get the
  // event and return (the subscription hub queues it). Returns the id to remove it with.
  std::uint64_t addListener(Listener listener);
  void removeListener(std::uint64_t id);

  void publish(const ServiceEvent& event);

  // The events as the service's commands meet them. Owners are read from the file system at the
  // moment of the call.
  // Returns the file's owner as read for the event, for the quarantine event that may follow.
  std::optional<std::uint32_t> threatFound(const std::string& command, const std::string& path,
                                           const std::string& threat, const CallerIdentity& caller,
                                           const std::string& scanId = "");
  void scanFinished(const std::string& command, const std::string& path,
                    const CallerIdentity& caller, const std::string& scanId,
                    std::int64_t filesScanned, std::int64_t threatsFound);
  // `owner` is the owner of the file before it was moved (read by the caller while it existed).
  void fileQuarantined(const std::string& command, const std::string& path,
                       const std::string& threat, const std::string& quarantineId,
                       std::optional<std::uint32_t> owner, const CallerIdentity& caller);
  void fileRestored(const std::string& path, const std::string& threat,
                    const std::string& quarantineId, const CallerIdentity& caller);
  void fileDeleted(const std::string& path, const std::string& threat,
                   const std::string& quarantineId, std::optional<std::uint32_t> owner,
                   const CallerIdentity& caller);
  // `owner` as read while the file was still in place (it may be in quarantine by now).
  void programBlocked(const std::string& path, const std::string& threat,
                      std::optional<std::uint32_t> owner);
  void programBlocked(const std::string& path, const std::string& threat);
  void rulesReloaded(std::int64_t ruleCount, const CallerIdentity& caller);

 private:
  ServiceEvents();

  std::mutex mutex_;
  std::unique_ptr<platform::JournalWriter> journal_;
  std::map<std::uint64_t, Listener> listeners_;
  std::uint64_t nextListener_ = 1;
};

}  // namespace norvid
