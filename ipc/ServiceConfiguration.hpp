#pragma once

#include <cstddef>
#include <string>

#include "platform/AdministratorGroup.hpp"

namespace norvid {

// Everything the core takes from its surroundings: where it finds and keeps its files, the socket,
// the administrator group and the scan threads. Read once at start by fromEnvironment() and handed
// to the components; tests point the places at temporary directories.
struct ServiceConfiguration {
  std::string exeDir;       // rules/, logs/ and reports/ live here
  std::string dataDir;      // ipc_debug.log, yara_load.log, Quarantine/, config/, extract/
  std::string socketPath;   // the listening socket
  std::string sysfsRoot;    // device tree for USB control
  std::string modprobeDir;  // where the USB storage policy file lives
  std::string allowDir = "/etc/norvid/allow.d";  // the allow list's *.conf files
  // A listening socket passed by the service manager, served instead of creating socketPath.
  int listeningSocket = -1;
  // The group whose members may run the administrator commands.
  std::string administratorGroup = platform::kDefaultAdministratorGroup;
  // Threads that judge files for directory scans; 0 means one per online CPU.
  std::size_t scanThreads = 0;

  // The executable's directory, NORVID_DATA_DIR, NORVID_SOCKET, NORVID_SYSFS_ROOT,
  // NORVID_MODPROBE_DIR, NORVID_ALLOW_DIR, NORVID_ADMIN_GROUP, NORVID_SCAN_THREADS (a number from 1
  // to 1024, else ignored) and the socket passed by the service manager, each with its default when
  // unset.
  static ServiceConfiguration fromEnvironment();

  std::string rulesDir() const { return exeDir + "/rules"; }
  std::string logsDir() const { return exeDir + "/logs"; }
  std::string reportsDir() const { return exeDir + "/reports"; }
  std::string quarantineDir() const { return dataDir + "/Quarantine"; }
  std::string exclusionsFile() const { return dataDir + "/config/exclusions.json"; }
  std::string schedulerFile() const { return dataDir + "/config/scheduler.json"; }
  // Verdicts on unchanged files, kept across restarts.
  std::string verdictsFile() const { return dataDir + "/verdicts.bin"; }
  // Where archives are extracted for scanning; emptied at every start.
  std::string extractionDir() const { return dataDir + "/extract"; }
};

}  // namespace norvid
