#include "logging/ServiceEvents.hpp"

#include <exception>

#include "platform/FileAccess.hpp"

namespace norvid {
namespace {

// A caller the transport named; requests made inside the service have no caller of their own.
std::optional<std::uint32_t> callerUidOf(const CallerIdentity& caller) {
  if (!caller.known) return std::nullopt;
  return caller.uid;
}

ServiceEvent eventOf(ServiceEventKind kind, std::string command, std::string path,
                     std::string threat, const CallerIdentity& caller) {
  ServiceEvent event;
  event.kind = kind;
  event.command = std::move(command);
  event.path = std::move(path);
  event.threat = std::move(threat);
  event.callerUid = callerUidOf(caller);
  return event;
}

}  // namespace

ServiceEvents::ServiceEvents() : journal_(platform::systemJournalWriter()) {}

ServiceEvents& ServiceEvents::instance() {
  static ServiceEvents events;
  return events;
}

void ServiceEvents::setJournalWriter(std::unique_ptr<platform::JournalWriter> writer) {
  std::lock_guard<std::mutex> lock(mutex_);
  journal_ = std::move(writer);
}

std::uint64_t ServiceEvents::addListener(Listener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint64_t id = nextListener_++;
  listeners_.emplace(id, std::move(listener));
  return id;
}

void ServiceEvents::removeListener(std::uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_.erase(id);
}

void ServiceEvents::publish(const ServiceEvent& event) {
  // Telling people must never fail the work it reports on, and one failing listener must not
  // keep the event from the others.
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    if (journal_) journal_->write(event.journalFields());
  } catch (const std::exception&) {
  }
  for (auto& [id, listener] : listeners_) {
    try {
      listener(event);
    } catch (const std::exception&) {
    }
  }
}

std::optional<std::uint32_t> ServiceEvents::threatFound(const std::string& command,
                                                        const std::string& path,
                                                        const std::string& threat,
                                                        const CallerIdentity& caller,
                                                        const std::string& scanId) {
  ServiceEvent event = eventOf(ServiceEventKind::ThreatFound, command, path, threat, caller);
  event.ownerUid = platform::fileOwner(path);
  event.scanId = scanId;
  publish(event);
  return event.ownerUid;
}

void ServiceEvents::scanFinished(const std::string& command, const std::string& path,
                                 const CallerIdentity& caller, const std::string& scanId,
                                 std::int64_t filesScanned, std::int64_t threatsFound) {
  ServiceEvent event = eventOf(ServiceEventKind::ScanFinished, command, path, "", caller);
  event.ownerUid = platform::fileOwner(path);
  event.scanId = scanId;
  event.filesScanned = filesScanned;
  event.threatsFound = threatsFound;
  publish(event);
}

void ServiceEvents::fileQuarantined(const std::string& command, const std::string& path,
                                    const std::string& threat, const std::string& quarantineId,
                                    std::optional<std::uint32_t> owner,
                                    const CallerIdentity& caller) {
  ServiceEvent event = eventOf(ServiceEventKind::FileQuarantined, command, path, threat, caller);
  event.ownerUid = owner;
  event.quarantineId = quarantineId;
  publish(event);
}

void ServiceEvents::fileRestored(const std::string& path, const std::string& threat,
                                 const std::string& quarantineId, const CallerIdentity& caller) {
  ServiceEvent event =
      eventOf(ServiceEventKind::FileRestored, "restore_quarantine", path, threat, caller);
  event.ownerUid = platform::fileOwner(path);
  event.quarantineId = quarantineId;
  publish(event);
}

void ServiceEvents::fileDeleted(const std::string& path, const std::string& threat,
                                const std::string& quarantineId, std::optional<std::uint32_t> owner,
                                const CallerIdentity& caller) {
  ServiceEvent event =
      eventOf(ServiceEventKind::FileDeleted, "delete_quarantine", path, threat, caller);
  event.ownerUid = owner;
  event.quarantineId = quarantineId;
  publish(event);
}

void ServiceEvents::programBlocked(const std::string& path, const std::string& threat,
                                   std::optional<std::uint32_t> owner) {
  ServiceEvent event = eventOf(ServiceEventKind::ProgramBlocked, "onaccess", path, threat,
                               CallerIdentity::service());
  event.ownerUid = owner;
  publish(event);
}

void ServiceEvents::programBlocked(const std::string& path, const std::string& threat) {
  programBlocked(path, threat, platform::fileOwner(path));
}

void ServiceEvents::rulesReloaded(std::int64_t ruleCount, const CallerIdentity& caller) {
  ServiceEvent event = eventOf(ServiceEventKind::RulesReloaded, "reload_rules", "", "", caller);
  event.ruleCount = ruleCount;
  publish(event);
}

}  // namespace norvid
