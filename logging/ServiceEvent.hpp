#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/JournalWriter.hpp"

namespace norvid {

// What happened. Each kind has its own fixed journal MESSAGE_ID (see messageId).
enum class ServiceEventKind {
  ThreatFound,
  FileQuarantined,
  FileRestored,
  FileDeleted,
  ProgramBlocked,
  ScanFinished,
  RulesReloaded,
};

// One thing the service did or found that people and log collectors are told about: written to
// the journal with structured fields and handed to the subscribers of "subscribe_events".
struct ServiceEvent {
  ServiceEventKind kind = ServiceEventKind::ThreatFound;
  // The request that led to it ("scan", "scan_realtime", "generate_report", "quarantine_file",
  // "restore_quarantine", "delete_quarantine", "reload_rules") or "scheduled", "onaccess".
  std::string command;
  std::string path;
  std::string threat;
  // The file's owner when the event happened, when known.
  std::optional<std::uint32_t> ownerUid;
  // Who asked for the work, when someone did (a connection's peer).
  std::optional<std::uint32_t> callerUid;
  std::string scanId;
  std::string quarantineId;
  std::int64_t filesScanned = 0;
  std::int64_t threatsFound = 0;
  std::int64_t ruleCount = 0;
  std::chrono::system_clock::time_point time = std::chrono::system_clock::now();

  // "threat_found", "file_quarantined", ...: the kind as subscribers read it.
  const char* kindWord() const;
  // 32 lower-case hex digits, fixed per kind.
  const char* messageId() const;
  // syslog priority: 4 warning, 5 notice, 6 informational.
  int priority() const;
  // The readable sentence (MESSAGE).
  std::string message() const;
  // The uid the event concerns: the file's owner when known, else the caller.
  std::optional<std::uint32_t> uid() const;

  // The journal entry: MESSAGE_ID, MESSAGE, PRIORITY and the NORVID_* fields that apply.
  platform::JournalFields journalFields() const;
  // The message a subscriber receives, members that do not apply left out.
  nlohmann::json toJson() const;
};

}  // namespace norvid
