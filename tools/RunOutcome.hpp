#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace norvid {

// What the answers of one norvidctl run add up to: the exit status scripts test, and the one
// summary line of a run that sent several scans. Exit status 0: every answer succeeded and no
// scan found anything; 1: some scan found a threat (even when another path failed, so that
// `norvidctl scan ... && deploy` never deploys an infected file); 2: an error answer, no answer
// or an answer that is not JSON, when nothing was found.
class RunOutcome {
 public:
  static constexpr int kNothingFound = 0;
  static constexpr int kThreatFound = 1;
  static constexpr int kFailed = 2;

  // Records the answer `responseText` (possibly empty) to `request`.
  void add(const nlohmann::json& request, const std::string& responseText);

  int exitCode() const;

  // "Rutas: N  Archivos escaneados: F  Amenazas: T" and ", Errores: E" when some failed.
  std::string summary() const;

  // Whether `response` reports a threat found for `request` (a scan, an on-access scan, a report
  // or a script scan).
  static bool foundThreat(const nlohmann::json& request, const nlohmann::json& response);

 private:
  int answers_ = 0;
  int failures_ = 0;
  int threatAnswers_ = 0;
  long long filesScanned_ = 0;
  long long threatsFound_ = 0;
};

}  // namespace norvid
