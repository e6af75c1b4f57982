#include "tests/ipc/CoreFixture.hpp"

#include <filesystem>
#include <stdexcept>

#include "platform/SocketClient.hpp"
#include "tests/support/EventLogCapture.hpp"

namespace norvid::testing {

CoreFixture::CoreFixture() : paths_(ServiceConfiguration::fromEnvironment()) {
  EventLogCapture::instance();
  // No USB tree and no socket from a service manager unless a test asks for them.
  paths_.sysfsRoot.clear();
  paths_.modprobeDir.clear();
  paths_.listeningSocket = -1;
  paths_.exeDir = (root_.path() / "exe").string();
  paths_.dataDir = (root_.path() / "data").string();
  paths_.socketPath = (root_.path() / "core.sock").string();
  paths_.allowDir = (root_.path() / "allow.d").string();
  std::filesystem::create_directories(paths_.rulesDir());
  std::filesystem::create_directories(paths_.dataDir);
}

CoreFixture::~CoreFixture() { core_.reset(); }

std::string CoreFixture::writeRule(const std::string& name, const std::string& source) const {
  return root_.write("exe/rules/" + name, source);
}

IPCServer& CoreFixture::core() {
  if (!core_) core_ = std::make_unique<IPCServer>(paths_);
  return *core_;
}

nlohmann::json CoreFixture::call(const nlohmann::json& request) {
  return nlohmann::json::parse(core().processCommand(request.dump()));
}

void CoreFixture::serve() {
  if (core().isRunning()) return;
  if (!core().start()) throw std::runtime_error("transport did not start");
  // One answered request shows the accept thread is in its loop, its start line written.
  platform::sendRequest(paths_.socketPath, R"({"command":"status"})");
}

std::optional<std::string> CoreFixture::send(const std::string& request, int passDescriptor) {
  serve();
  platform::Result<std::string> answer =
      platform::sendRequest(paths_.socketPath, request, passDescriptor);
  if (!answer) return std::nullopt;
  return std::move(*answer);
}

nlohmann::json CoreFixture::sendJson(const nlohmann::json& request, int passDescriptor) {
  auto response = send(request.dump(), passDescriptor);
  if (!response || response->empty()) throw std::runtime_error("no answer");
  return nlohmann::json::parse(*response);
}

}  // namespace norvid::testing
