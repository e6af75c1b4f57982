#pragma once

#include <string>

#include "engine/EngineSlot.hpp"
#include "ipc/ServiceStatistics.hpp"
#include "platform/CallerIdentity.hpp"

namespace norvid {

class ExclusionsManager;
class Scheduler;

// The status command: the service's identity, uptime, engine state, statistics and the sizes of
// its lists, answered from what the core keeps at hand without waiting behind a scan. The last
// scanned and infected paths name other users' files, so root and the administrator group see
// the service's, and anyone else only those of its own requests.
// REQUIRES: `slot`, `statistics` and the lists (when given) outlive this object.
class StatusCommands {
 public:
  // `exclusions` and `scheduler` may be null (they failed to come up): their counts are then 0.
  StatusCommands(EngineSlot& slot, const ServiceStatistics& statistics,
                 const ExclusionsManager* exclusions, const Scheduler* scheduler,
                 std::string quarantineDir, std::string reportsDir,
                 std::string administratorGroup);

  std::string handleStatus(const CallerIdentity& caller);

 private:
  EngineSlot& slot_;
  const ServiceStatistics& statistics_;
  const ExclusionsManager* exclusions_;
  const Scheduler* scheduler_;
  std::string quarantineDir_;
  std::string reportsDir_;
  std::string administratorGroup_;
};

}  // namespace norvid
