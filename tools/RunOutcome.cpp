#include "tools/RunOutcome.hpp"

namespace norvid {
namespace {

using nlohmann::json;

long long countMember(const json& response, const char* name) {
  auto found = response.find(name);
  return found != response.end() && found->is_number_integer() ? found->get<long long>() : 0;
}

// A member of the answer as text; empty when missing or not a string (a foreign answer must not
// make the client throw).
std::string textMember(const json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

bool RunOutcome::foundThreat(const json& request, const json& response) {
  if (!request.is_object() || !response.is_object()) return false;
  const std::string command = textMember(request, "command");
  if (command == "scan") {
    return textMember(response, "result") == "INFECTED" ||
           countMember(response, "threats_found") > 0;
  }
  if (command == "generate_report") return countMember(response, "threats_found") > 0;
  if (command == "scan_realtime") return textMember(response, "status") == "threat";
  if (command == "scan_amsi") {
    auto malicious = response.find("is_malicious");
    return malicious != response.end() && *malicious == true;
  }
  return false;
}

void RunOutcome::add(const json& request, const std::string& responseText) {
  ++answers_;
  const json response = json::parse(responseText, nullptr, false);
  if (response.is_discarded() || !response.is_object() ||
      textMember(response, "status") == "error" || textMember(response, "result") == "ERROR") {
    ++failures_;
    return;
  }
  if (foundThreat(request, response)) ++threatAnswers_;
  filesScanned_ += countMember(response, "files_scanned");
  threatsFound_ += countMember(response, "threats_found");
}

int RunOutcome::exitCode() const {
  if (threatAnswers_ > 0) return kThreatFound;
  return failures_ > 0 ? kFailed : kNothingFound;
}

std::string RunOutcome::summary() const {
  std::string text = "Rutas: " + std::to_string(answers_) +
                     "  Archivos escaneados: " + std::to_string(filesScanned_) +
                     "  Amenazas: " + std::to_string(threatsFound_);
  if (failures_ > 0) text += "  Errores: " + std::to_string(failures_);
  return text + "\n";
}

}  // namespace norvid
