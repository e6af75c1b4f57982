#pragma once

#include <string>

#include "engine/EngineSlot.hpp"
#include "platform/CallerIdentity.hpp"

namespace norvid {

class ExclusionsManager;
class PersistentVerdicts;
class ScanThreadPool;

// The reload_rules command: builds a fresh engine from the rules directory (then the installed
// rule feeds of the data directory) and a scanner on it,
// holding the slot's lock exclusively, so it waits for the scans in progress and the next scan
// uses the new rules. A failed reload leaves the slot empty and says why.
// REQUIRES: `slot`, `exclusions` (when given) and `pool` outlive this object.
class RuleCommands {
 public:
  // `traceDirectory` is where the engine writes its load trace; `extractionDir` the scanner's
  // extraction folder; `allowDir` holds the allow list. `verdicts` (when given, outliving this)
  // backs every scanner built here: its cache is written before the old scanner goes and the new
  // one starts from the verdicts kept for the same rules.
  RuleCommands(EngineSlot& slot, std::string rulesDir, std::string traceDirectory,
               std::string extractionDir, std::string allowDir, ExclusionsManager* exclusions,
               ScanThreadPool& pool, PersistentVerdicts* verdicts = nullptr);

  std::string handleReloadRules(const CallerIdentity& caller = {});

 private:
  EngineSlot& slot_;
  std::string rulesDir_;
  std::string traceDirectory_;
  std::string extractionDir_;
  std::string allowDir_;
  ExclusionsManager* exclusions_;
  ScanThreadPool& pool_;
  PersistentVerdicts* verdicts_;
};

}  // namespace norvid
