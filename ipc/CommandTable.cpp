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
ArgRead optionalInteger(std::string name, std::int32_t fallback) {
  return ArgRead{std::move(name), ArgType::Integer, nlohmann::json(fallback)};
}

}  // namespace

std::vector<CommandRow> CommandTable::build(
    const std::function<CommandHandler(const std::string& command)>& handlerFor) {
  const std::string scheduleMissing = "Missing required fields for add_schedule";
  std::vector<CommandRow> rows = {
      {"scan", {{"path", "Missing 'path' field for scan command"}}, {text("path")}, {}},
      {"scan_realtime",
       {{"path", "Missing 'path' field for scan_realtime command"}},
       {text("path")},
       {}},
      {"list_quarantine", {}, {}, {}},
      {"delete_quarantine",
       {{"id", "Missing 'id' field for delete_quarantine command"}},
       {text("id")},
       {}},
      {"restore_quarantine",
       {{"id", "Missing 'id' field for restore_quarantine command"}},
       {text("id")},
       {}},
      {"quarantine_file",
       {{"path", "Missing 'path' field for quarantine_file command"},
        {"threat_name", "Missing 'threat_name' field for quarantine_file command"}},
       {text("path"), text("threat_name")},
       {}},
      {"status", {}, {}, {}},
      {"add_exclusion",
       {{"path", "Missing 'path' field for add_exclusion command"}},
       {text("path"), optionalText("description", "")},
       {}},
      {"remove_exclusion",
       {{"path", "Missing 'path' field for remove_exclusion command"}},
       {text("path")},
       {}},
      {"list_exclusions", {}, {}, {}},
      {"add_schedule",
       {{"frequency", scheduleMissing},
        {"hour", scheduleMissing},
        {"minute", scheduleMissing},
        {"scan_type", scheduleMissing}},
       {text("scan_type"), integer("minute"), integer("hour"), text("frequency")},
       {}},
      {"list_schedules", {}, {}, {}},
      {"remove_schedule",
       {{"task_id", "Missing 'task_id' field for remove_schedule"}},
       {text("task_id")},
       {}},
      {"scan_amsi",
       {{"content", "Missing 'content' field for scan_amsi command"}},
       {optionalText("content_name", "unknown_script"), text("content")},
       {}},
      {"reload_rules", {}, {}, {}},
      {"generate_report",
       {{"path", "Missing 'path' field for generate_report"}},
       {optionalText("scan_type", "manual"), text("path")},
       {}},
      {"list_reports", {}, {optionalInteger("max_count", 50)}, {}},
      {"usb_status", {}, {}, {}},
      {"usb_enable", {}, {}, {}},
      {"usb_disable", {}, {}, {}},
      {"usb_list_devices", {}, {}, {}},
      {"usb_disable_port", {}, {optionalText("device_id", "")}, {}},
      {"usb_enable_port", {}, {optionalText("device_id", "")}, {}},
  };
  for (CommandRow& row : rows) row.handler = handlerFor(row.name);
  return rows;
}

}  // namespace norvid
