#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "ipc/IPCServer.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid::testing {

// A service core on a temporary executable directory (rules/, reports/) and data directory, with
// its socket in the same place. The rest of the configuration (the administrator group, the scan
// threads) is read from the environment when the fixture is made, as the service reads it at
// start. The event log goes to EventLogCapture's directory.
class CoreFixture {
 public:
  CoreFixture();
  ~CoreFixture();

  // Writes a rule file into the rules directory (call before core()).
  std::string writeRule(const std::string& name, const std::string& source) const;

  // Points USB control at a fake device tree and modprobe directory (call before core()).
  void useUsbTree(const std::string& sysfsRoot, const std::string& modprobeDir) {
    paths_.sysfsRoot = sysfsRoot;
    paths_.modprobeDir = modprobeDir;
  }

  IPCServer& core();
  // Ends the core as a stop of the service does; the next core() builds a new one on the same
  // folders, as the next start of the service would.
  void restart() { core_.reset(); }
  ServiceConfiguration paths() const { return paths_; }
  const TempDir& root() const { return root_; }

  // Sends a request through processCommand and parses the answer.
  nlohmann::json call(const nlohmann::json& request);
  // Builds the core and starts its transport (once).
  void serve();
  // Starts the transport (once) and sends a raw request text through the real socket.
  // With `passDescriptor`, that descriptor travels with the request.
  std::optional<std::string> send(const std::string& request, int passDescriptor = -1);
  nlohmann::json sendJson(const nlohmann::json& request, int passDescriptor = -1);

 private:
  TempDir root_;
  ServiceConfiguration paths_;
  std::unique_ptr<IPCServer> core_;
};

}  // namespace norvid::testing
