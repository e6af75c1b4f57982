#include "update/ServiceReloader.hpp"

#include <nlohmann/json.hpp>

#include "platform/SocketClient.hpp"

namespace norvid::update {

ServiceReloader::Answer ServiceReloader::reload() const {
  auto response = platform::sendRequest(socketPath_, R"({"command":"reload_rules"})");
  if (!response) {
    return {Outcome::NotRunning, "the service is not running (" + response.message() +
                                     "); it loads the new rules when it starts"};
  }
  const auto answer = nlohmann::json::parse(*response, nullptr, false);
  if (answer.is_object() && answer.value("status", "") == "ok") {
    return {Outcome::Reloaded, "the service reloaded its rules"};
  }
  std::string reason = *response;
  if (answer.is_object() && answer.contains("error") && answer["error"].is_string()) {
    reason = answer["error"].get<std::string>();
  }
  return {Outcome::Refused, "the service did not reload its rules: " + reason};
}

}  // namespace norvid::update
