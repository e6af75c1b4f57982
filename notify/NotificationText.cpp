#include "notify/NotificationText.hpp"

#include <algorithm>

namespace norvid {
namespace {

std::string member(const nlohmann::json& event, const char* name) {
  auto found = event.find(name);
  return found != event.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::int64_t count(const nlohmann::json& event, const char* name) {
  auto found = event.find(name);
  return found != event.end() && found->is_number_integer() ? found->get<std::int64_t>() : 0;
}

// The file's name without its folders, which a notification has no room for.
std::string fileName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos || slash + 1 == path.size() ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<NotificationText::Text> NotificationText::forEvent(const nlohmann::json& event) {
  if (!event.is_object()) return std::nullopt;
  const std::string kind = member(event, "event");
  const std::string path = member(event, "path");
  const std::string name = fileName(path);
  const std::string threat = member(event, "threat");
  const std::string where = path.empty() ? std::string() : "\n" + path;
  if (kind == "file_quarantined") {
    return Text{"Amenaza en " + name + ": movido a cuarentena", threat + where, 2};
  }
  if (kind == "program_blocked") {
    return Text{"Amenaza en " + name + ": ejecución bloqueada", threat + where, 2};
  }
  if (kind == "threat_found") {
    // An on-access threat is told by its quarantine, which follows at once.
    if (member(event, "command") == "scan_realtime") return std::nullopt;
    return Text{"Amenaza encontrada en " + name, threat + where, 2};
  }
  if (kind == "file_restored") return Text{"Restaurado desde la cuarentena: " + name, path, 1};
  if (kind == "file_deleted") return Text{"Eliminado de la cuarentena: " + name, path, 1};
  if (kind == "scan_finished" && count(event, "threats_found") > 0) {
    return Text{
        "Escaneo terminado: " + std::to_string(count(event, "threats_found")) + " amenaza(s)",
        path + "\n" + std::to_string(count(event, "files_scanned")) + " archivos", 2};
  }
  if (kind == "lost") {
    return Text{"Avisos perdidos",
                std::to_string(count(event, "lost")) + " eventos no se pudieron mostrar", 1};
  }
  return std::nullopt;
}

std::optional<NotificationText::Text> NotificationText::forBurst(
    const std::vector<nlohmann::json>& events) {
  std::vector<Text> texts;
  for (const nlohmann::json& event : events) {
    if (auto text = forEvent(event)) texts.push_back(std::move(*text));
  }
  if (texts.empty()) return std::nullopt;
  if (texts.size() == 1) return texts.front();
  Text summary{std::to_string(texts.size()) + " avisos de Norvid Shield", "", 1};
  constexpr std::size_t kShown = 5;
  for (std::size_t i = 0; i < texts.size() && i < kShown; ++i) {
    if (!summary.body.empty()) summary.body += "\n";
    summary.body += texts[i].summary;
    summary.urgency = std::max(summary.urgency, texts[i].urgency);
  }
  for (std::size_t i = kShown; i < texts.size(); ++i) {
    summary.urgency = std::max(summary.urgency, texts[i].urgency);
  }
  if (texts.size() > kShown) {
    summary.body += "\n… y " + std::to_string(texts.size() - kShown) + " más";
  }
  return summary;
}

}  // namespace norvid
