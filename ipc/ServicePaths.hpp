#pragma once

#include <string>

namespace norvid {

// Where the core finds and keeps its files. The service takes them from the platform; tests point
// them at temporary directories.
struct ServicePaths {
  std::string exeDir;      // rules/, logs/ and reports/ live here
  std::string dataDir;     // ipc_debug.log, yara_load.log, Quarantine/, config/
  std::string socketPath;  // the listening socket
  std::string sysfsRoot;   // device tree for USB control
  std::string modprobeDir; // where the USB storage policy file lives
  // A listening socket passed by the service manager, served instead of creating socketPath.
  int listeningSocket = -1;

  static ServicePaths fromPlatform();

  std::string rulesDir() const { return exeDir + "/rules"; }
  std::string logsDir() const { return exeDir + "/logs"; }
  std::string reportsDir() const { return exeDir + "/reports"; }
  std::string quarantineDir() const { return dataDir + "/Quarantine"; }
  std::string exclusionsFile() const { return dataDir + "/config/exclusions.json"; }
  std::string schedulerFile() const { return dataDir + "/config/scheduler.json"; }
};

}  // namespace norvid
