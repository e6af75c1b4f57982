#include "tools/ResponseFormatter.hpp"

#include <algorithm>
#include <map>
#include <vector>

namespace norvid {
namespace {

using nlohmann::json;

// UTF-8 characters in `text`: bytes that do not continue a sequence.
std::size_t displayWidth(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
  }));
}

std::string textOf(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "";
  if (value.is_array()) {
    std::string joined;
    for (const json& element : value) {
      if (!joined.empty()) joined += ", ";
      joined += textOf(element);
    }
    return joined;
  }
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string stringMember(const json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() ? textOf(*found) : std::string();
}

// The text after the first ": " of a message ("Archivo omitido: Excluded by user").
std::string reasonOf(const std::string& message) {
  std::size_t colon = message.find(": ");
  return colon == std::string::npos ? message : message.substr(colon + 2);
}

// One line per file: `PATH: OK`, `PATH: <threat> FOUND`, or the reason a file was not scanned.
std::string scanLines(const json& request, const json& response) {
  std::string out;
  const std::string result = stringMember(response, "result");
  if (stringMember(response, "scan_type") == "directory") {
    // "PATH (THREAT)": rule names hold no parentheses, so the last " (" starts the threat.
    for (const json& entry : response.value("infected_files", json::array())) {
      std::string text = textOf(entry);
      std::size_t open = text.rfind(" (");
      if (open != std::string::npos && text.back() == ')') {
        out += text.substr(0, open) + ": " + text.substr(open + 2, text.size() - open - 3) +
               " FOUND\n";
      } else {
        out += text + ": FOUND\n";
      }
    }
    return out;
  }
  std::string path = stringMember(response, "path");
  if (path.empty()) path = stringMember(request, "path");
  if (result == "CLEAN") return path + ": OK\n";
  if (result == "INFECTED") return path + ": " + stringMember(response, "threat_name") + " FOUND\n";
  return path + ": " + result + " (" + reasonOf(stringMember(response, "message")) + ")\n";
}

std::string scanText(const json& request, const json& response) {
  std::string out = scanLines(request, response);
  out += "\n" + stringMember(response, "message") + "\n";
  if (response.value("cancelled", false)) {
    out += "Escaneo cancelado: el resultado cubre solo los archivos escaneados hasta entonces.\n";
  }
  out += "Archivos escaneados: " + stringMember(response, "files_scanned") +
         "  Amenazas: " + stringMember(response, "threats_found") + "\n";
  return out;
}

std::string realtimeText(const json& request, const json& response) {
  const std::string path = stringMember(request, "path");
  const std::string status = stringMember(response, "status");
  if (status == "clean") return path + ": OK\n";
  std::string out = path + ": " + stringMember(response, "threat") + " FOUND\n";
  if (response.value("quarantined", false)) {
    out += "En cuarentena: " + stringMember(response, "quarantine_id") + "\n";
  } else if (response.contains("quarantine_error")) {
    out += "No se pudo poner en cuarentena: " + stringMember(response, "quarantine_error") + "\n";
  }
  return out;
}

// Column order for the lists: the telling columns first, any others after them by name.
const std::map<std::string, std::vector<std::string>>& preferredColumns() {
  static const std::map<std::string, std::vector<std::string>> columns = {
      {"items", {"id", "threat_name", "timestamp", "original_path"}},
      {"exclusions", {"type", "value", "description"}},
      {"tasks", {"id", "frequency", "hour", "minute", "scan_type", "enabled"}},
      {"reports",
       {"scan_id", "start_time", "scan_type", "files_scanned", "threats_found", "duration",
        "target_path", "path"}},
      {"devices", {"device_id", "name", "manufacturer", "vid", "pid", "status"}},
  };
  return columns;
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string listText(const std::string& member, const json& list) {
  if (list.empty()) return "(ninguno)\n";
  std::vector<std::string> columns;
  auto preferred = preferredColumns().find(member);
  std::vector<std::string> rest;
  for (const json& row : list) {
    if (!row.is_object()) continue;
    for (const auto& [key, value] : row.items()) {
      if (std::find(rest.begin(), rest.end(), key) == rest.end()) rest.push_back(key);
    }
  }
  if (preferred != preferredColumns().end()) {
    for (const std::string& key : preferred->second) {
      if (std::find(rest.begin(), rest.end(), key) != rest.end()) columns.push_back(key);
    }
  }
  for (const std::string& key : rest) {
    if (std::find(columns.begin(), columns.end(), key) == columns.end()) columns.push_back(key);
  }
  std::vector<std::string> header;
  for (const std::string& column : columns) header.push_back(upper(column));
  std::vector<std::vector<std::string>> rows;
  for (const json& row : list) {
    std::vector<std::string> cells;
    for (const std::string& column : columns) {
      cells.push_back(row.is_object() && row.contains(column) ? textOf(row[column]) : "");
    }
    rows.push_back(std::move(cells));
  }
  return ResponseFormatter::table(header, rows) + "Total: " + std::to_string(list.size()) + "\n";
}

// The message, then every other member but the envelope as aligned "key: value" lines.
std::string membersText(const json& response) {
  auto shown = [](const std::string& key) {
    return key != "status" && key != "command" && key != "message";
  };
  std::size_t width = 0;
  for (const auto& [key, value] : response.items()) {
    if (shown(key)) width = std::max(width, displayWidth(key));
  }
  std::string out;
  if (response.contains("message")) out += stringMember(response, "message") + "\n";
  for (const auto& [key, value] : response.items()) {
    if (!shown(key)) continue;
    const std::string text = textOf(value);
    out += key + ":" +
           (text.empty() ? std::string() : std::string(width - displayWidth(key) + 1, ' ') + text) +
           "\n";
  }
  return out;
}

}  // namespace

std::string ResponseFormatter::table(const std::vector<std::string>& header,
                                     const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths(header.size(), 0);
  auto measure = [&widths](const std::vector<std::string>& cells) {
    for (std::size_t i = 0; i < cells.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], displayWidth(cells[i]));
    }
  };
  measure(header);
  for (const auto& row : rows) measure(row);
  std::string out;
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t i = 0; i < cells.size() && i < widths.size(); ++i) {
      text += cells[i];
      if (i + 1 < cells.size()) text += std::string(widths[i] - displayWidth(cells[i]) + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  };
  line(header);
  for (const auto& row : rows) line(row);
  return out;
}

std::string ResponseFormatter::threatLines(const json& request, const json& response) {
  if (!response.is_object() || stringMember(response, "status") == "error") return "";
  const std::string command = stringMember(request, "command");
  if (command == "scan" && stringMember(response, "result") == "INFECTED") {
    std::string lines = scanLines(request, response);
    std::string found;
    std::size_t start = 0;
    while (start < lines.size()) {
      std::size_t end = lines.find('\n', start);
      std::string line = lines.substr(start, end - start + 1);
      if (line.ends_with(" FOUND\n")) found += line;
      start = end + 1;
    }
    return found;
  }
  if (command == "scan_realtime" && stringMember(response, "status") == "threat") {
    return stringMember(request, "path") + ": " + stringMember(response, "threat") + " FOUND\n";
  }
  if (command == "scan_amsi" && response.value("is_malicious", false)) {
    return stringMember(response, "content_name") + ": " + stringMember(response, "threat_name") +
           " FOUND\n";
  }
  return "";
}

ResponseFormatter::Text ResponseFormatter::formatOneOfMany(const json& request,
                                                           const json& response) {
  if (stringMember(request, "command") == "scan" && response.is_object() &&
      response.contains("result") && stringMember(response, "status") != "error") {
    return {scanLines(request, response), ""};
  }
  return format(request, response);
}

ResponseFormatter::Text ResponseFormatter::format(const json& request, const json& response) {
  if (!response.is_object()) return {textOf(response) + "\n", ""};
  const std::string command = stringMember(request, "command");
  const std::string status = stringMember(response, "status");
  if (command == "scan_realtime" && status != "error") return {realtimeText(request, response), ""};
  if (status == "error") {
    std::string message = stringMember(response, "error");
    if (command == "scan_realtime") message = stringMember(request, "path") + ": " + message;
    return {"", "Error: " + message + "\n"};
  }
  if (command == "scan" && response.contains("result")) return {scanText(request, response), ""};
  for (const char* member : {"items", "exclusions", "tasks", "reports", "devices"}) {
    auto list = response.find(member);
    if (list != response.end() && list->is_array()) return {listText(member, *list), ""};
  }
  return {membersText(response), ""};
}

}  // namespace norvid
