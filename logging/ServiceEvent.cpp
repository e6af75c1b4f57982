#include "logging/ServiceEvent.hpp"

#include <ctime>

namespace norvid {
namespace {

struct KindInfo {
  const char* word;
  const char* messageId;
};

// The MESSAGE_IDs are fixed for good: log collectors and the manual page norvid-core(8) match on
// them.
KindInfo infoOf(ServiceEventKind kind) {
  switch (kind) {
    case ServiceEventKind::ThreatFound:
      return {"threat_found", "d763df43d6944423ad774bccbc28867d"};
    case ServiceEventKind::FileQuarantined:
      return {"file_quarantined", "24a6b131297149dfb75d83d4ec617b8d"};
    case ServiceEventKind::FileRestored:
      return {"file_restored", "975279ccf17a4ad491f1cd656af7f643"};
    case ServiceEventKind::FileDeleted:
      return {"file_deleted", "371fb51bbc9c4af6936f4a296bfd2fb9"};
    case ServiceEventKind::ProgramBlocked:
      return {"program_blocked", "42ded75075d842d8b35fb61d6eec624a"};
    case ServiceEventKind::ScanFinished:
      return {"scan_finished", "f230b4fec2684c1689a40123b0f5de26"};
    case ServiceEventKind::RulesReloaded:
      return {"rules_reloaded", "4c85ac22c39140ce9c94c60a333434d7"};
  }
  return {"unknown", "00000000000000000000000000000000"};
}

std::string utcStamp(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

}  // namespace

const char* ServiceEvent::kindWord() const { return infoOf(kind).word; }

const char* ServiceEvent::messageId() const { return infoOf(kind).messageId; }

int ServiceEvent::priority() const {
  switch (kind) {
    case ServiceEventKind::ThreatFound:
    case ServiceEventKind::ProgramBlocked:
      return 4;
    case ServiceEventKind::FileQuarantined:
    case ServiceEventKind::FileRestored:
    case ServiceEventKind::FileDeleted:
      return 5;
    case ServiceEventKind::ScanFinished:
      return threatsFound > 0 ? 5 : 6;
    case ServiceEventKind::RulesReloaded:
      return 6;
  }
  return 6;
}

std::string ServiceEvent::message() const {
  const std::string because = threat.empty() ? std::string() : " (" + threat + ")";
  switch (kind) {
    case ServiceEventKind::ThreatFound:
      return "Amenaza detectada: " + threat + " en " + path;
    case ServiceEventKind::FileQuarantined:
      return "Archivo movido a cuarentena: " + path + because;
    case ServiceEventKind::FileRestored:
      return "Archivo restaurado desde la cuarentena: " + path + because;
    case ServiceEventKind::FileDeleted:
      return "Archivo eliminado de la cuarentena: " + path + because;
    case ServiceEventKind::ProgramBlocked:
      return "Ejecución bloqueada: " + path + because;
    case ServiceEventKind::ScanFinished:
      return "Escaneo terminado: " + path + " | " + std::to_string(filesScanned) + " archivos, " +
             std::to_string(threatsFound) + " amenazas";
    case ServiceEventKind::RulesReloaded:
      return "Reglas actualizadas: " + std::to_string(ruleCount) + " reglas";
  }
  return path;
}

std::optional<std::uint32_t> ServiceEvent::uid() const { return ownerUid ? ownerUid : callerUid; }

platform::JournalFields ServiceEvent::journalFields() const {
  platform::JournalFields fields = {
      {"MESSAGE_ID", messageId()},
      {"MESSAGE", message()},
      {"PRIORITY", std::to_string(priority())},
  };
  auto add = [&fields](const char* name, const std::string& value) {
    if (!value.empty()) fields.emplace_back(name, value);
  };
  add("NORVID_PATH", path);
  add("NORVID_THREAT", threat);
  if (auto who = uid()) add("NORVID_UID", std::to_string(*who));
  add("NORVID_SCAN_ID", scanId);
  add("NORVID_COMMAND", command);
  add("NORVID_QUARANTINE_ID", quarantineId);
  if (kind == ServiceEventKind::ScanFinished) {
    add("NORVID_FILES_SCANNED", std::to_string(filesScanned));
    add("NORVID_THREATS_FOUND", std::to_string(threatsFound));
  }
  if (kind == ServiceEventKind::RulesReloaded) add("NORVID_RULE_COUNT", std::to_string(ruleCount));
  return fields;
}

nlohmann::json ServiceEvent::toJson() const {
  nlohmann::json event{{"event", kindWord()},
                       {"message", message()},
                       {"message_id", messageId()},
                       {"time", utcStamp(time)}};
  auto add = [&event](const char* name, const std::string& value) {
    if (!value.empty()) event[name] = value;
  };
  add("command", command);
  add("path", path);
  add("threat", threat);
  add("scan_id", scanId);
  add("quarantine_id", quarantineId);
  if (auto who = uid()) event["uid"] = *who;
  if (kind == ServiceEventKind::ScanFinished) {
    event["files_scanned"] = filesScanned;
    event["threats_found"] = threatsFound;
  }
  if (kind == ServiceEventKind::RulesReloaded) event["rule_count"] = ruleCount;
  return event;
}

}  // namespace norvid
