#include "ipc/CommandTable.hpp"

namespace norvid {
namespace {

ArgRead text(std::string name) { return ArgRead{std::move(name), ArgType::Text, std::nullopt}; }
ArgRead integer(std::string name) {
  return ArgRead{std::move(name), ArgType::Integer, std::nullopt};
}
ArgRead optionalText(std::string name, std::string fallback) {
  return ArgRead{std::move(name), ArgType::Text, nlohmann::json(std::move(fallback))};
}
ArgRead optionalTextList(std::string name) {
  return ArgRead{std::move(name), ArgType::TextList, std::nullopt};
}
ArgRead optionalFlag(std::string name) {
  return ArgRead{std::move(name), ArgType::Flag, std::nullopt};
}
ArgRead optionalInteger(std::string name, std::int32_t fallback) {
  return ArgRead{std::move(name), ArgType::Integer, nlohmann::json(fallback)};
}

constexpr Access kOpen = Access::Open;
constexpr Access kAdministrator = Access::Administrator;

}  // namespace

std::vector<CommandRow> CommandTable::build(
    const std::function<CommandHandler(const std::string& command)>& handlerFor) {
  const std::string scheduleMissing = "Missing required fields for add_schedule";
  std::vector<CommandRow> rows = {
      {"scan", kOpen, {{"path", "Missing 'path' field for scan command"}}, {text("path")}, {}},
      {"scan_realtime", kOpen,
       {{"path", "Missing 'path' field for scan_realtime command"}},
       {text("path"), optionalFlag("program_start")},
       {}},
      {"list_quarantine", kOpen, {}, {}, {}},
      {"delete_quarantine", kAdministrator,
       {{"id", "Missing 'id' field for delete_quarantine command"}},
       {text("id")},
       {}},
      {"restore_quarantine", kAdministrator,
       {{"id", "Missing 'id' field for restore_quarantine command"}},
       {text("id")},
       {}},
      {"quarantine_file", kOpen,
       {{"path", "Missing 'path' field for quarantine_file command"},
        {"threat_name", "Missing 'threat_name' field for quarantine_file command"}},
       {text("path"), text("threat_name")},
       {}},
      {"status", kOpen, {}, {}, {}},
      {"add_exclusion", kAdministrator,
       {{"path", "Missing 'path' field for add_exclusion command"}},
       {text("path"), optionalText("description", "")},
       {}},
      {"remove_exclusion", kAdministrator,
       {{"path", "Missing 'path' field for remove_exclusion command"}},
       {text("path")},
       {}},
      {"list_exclusions", kOpen, {}, {}, {}},
      {"add_schedule", kAdministrator,
       {{"frequency", scheduleMissing},
        {"hour", scheduleMissing},
        {"minute", scheduleMissing},
        {"scan_type", scheduleMissing}},
       {text("scan_type"), integer("minute"), integer("hour"), text("frequency"),
        optionalTextList("scan_paths")},
       {}},
      {"list_schedules", kOpen, {}, {}, {}},
      {"remove_schedule", kAdministrator,
       {{"task_id", "Missing 'task_id' field for remove_schedule"}},
       {text("task_id")},
       {}},
      {"scan_amsi", kOpen,
       {{"content", "Missing 'content' field for scan_amsi command"}},
       {optionalText("content_name", "unknown_script"), text("content")},
       {}},
      {"reload_rules", kAdministrator, {}, {}, {}},
      {"generate_report", kOpen,
       {{"path", "Missing 'path' field for generate_report"}},
       {optionalText("scan_type", "manual"), text("path")},
       {}},
      {"list_reports", kOpen, {}, {optionalInteger("max_count", 50)}, {}},
      {"usb_status", kOpen, {}, {}, {}},
      {"usb_enable", kAdministrator, {}, {}, {}},
      {"usb_disable", kAdministrator, {}, {}, {}},
      {"usb_list_devices", kOpen, {}, {}, {}},
      {"usb_disable_port", kAdministrator, {}, {optionalText("device_id", "")}, {}},
      {"usb_enable_port", kAdministrator, {}, {optionalText("device_id", "")}, {}},
      // Whose scans a caller may see or cancel is decided by the scan registry itself.
      {"list_scans", kOpen, {}, {}, {}},
      {"cancel_scan", kOpen,
       {{"scan_id", "Missing 'scan_id' field for cancel_scan command"}},
       {integer("scan_id")},
       {}},
      // Who hears which events is decided for each event by the subscriptions themselves.
      {"subscribe_events", kOpen, {}, {}, {}},
  };
  for (CommandRow& row : rows) row.handler = handlerFor(row.name);
  return rows;
}

}  // namespace norvid
