#include "onaccess/ServiceLink.hpp"

#include <nlohmann/json.hpp>

#include "platform/DeadlineRequest.hpp"

namespace norvid::onaccess {
namespace {

// The service reads one message of at most this many bytes.
constexpr std::size_t kMaxRequestBytes = 4096;

// A string member, or empty when it is missing or of another type.
std::string stringMember(const nlohmann::json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

ScanVerdict verdict(ScanVerdict::Kind kind, std::string detail = {}) {
  ScanVerdict result;
  result.kind = kind;
  result.detail = std::move(detail);
  return result;
}

}  // namespace

ServiceLink::ServiceLink(std::string socketPath) : socketPath_(std::move(socketPath)) {}

std::string ServiceLink::requestFor(const std::string& path, bool programStart) {
  std::string text;
  try {
    nlohmann::json request{{"command", "scan_realtime"}, {"path", path}};
    if (programStart) request["program_start"] = true;
    text = request.dump();
  } catch (const nlohmann::json::exception&) {
    return {};
  }
  return text.size() <= kMaxRequestBytes ? text : std::string();
}

ScanVerdict ServiceLink::readAnswer(const std::string& text) {
  const nlohmann::json answer = nlohmann::json::parse(text, nullptr, false);
  if (!answer.is_object()) {
    return verdict(ScanVerdict::Kind::Failed, "respuesta no válida del servicio");
  }
  const std::string status = stringMember(answer, "status");
  if (status == "clean") return verdict(ScanVerdict::Kind::Clean);
  if (status == "threat") {
    ScanVerdict threat = verdict(ScanVerdict::Kind::Threat, stringMember(answer, "threat"));
    auto quarantined = answer.find("quarantined");
    threat.quarantined =
        quarantined != answer.end() && quarantined->is_boolean() && quarantined->get<bool>();
    return threat;
  }
  if (status.empty()) return verdict(ScanVerdict::Kind::Failed, "respuesta no válida del servicio");
  return verdict(ScanVerdict::Kind::NoVerdict, stringMember(answer, "error"));
}

ScanVerdict ServiceLink::scan(const std::string& path, int descriptor,
                              std::chrono::steady_clock::time_point deadline,
                              const std::atomic<bool>* cancel, bool programStart) {
  const std::string request = requestFor(path, programStart);
  if (request.empty()) {
    return verdict(ScanVerdict::Kind::Failed, "ruta no representable en la petición");
  }
  using Outcome = platform::DeadlineReply::Outcome;
  platform::DeadlineReply reply = platform::requestWithDeadline(
      socketPath_, request, deadline, [this](std::int32_t pid) { servicePid_ = pid; }, cancel,
      descriptor);
  switch (reply.outcome) {
    case Outcome::Answered:
      return readAnswer(reply.text);
    case Outcome::Unreachable:
      return verdict(ScanVerdict::Kind::Unreachable, reply.error);
    case Outcome::TimedOut:
      return verdict(ScanVerdict::Kind::TimedOut, reply.error);
    case Outcome::Cancelled:
      return verdict(ScanVerdict::Kind::Cancelled);
    case Outcome::Failed:
      break;
  }
  return verdict(ScanVerdict::Kind::Failed, reply.error);
}

bool ServiceLink::probe(std::chrono::milliseconds timeout, const std::atomic<bool>* cancel) {
  platform::DeadlineReply reply = platform::requestWithDeadline(
      socketPath_, R"({"command":"status"})", std::chrono::steady_clock::now() + timeout,
      [this](std::int32_t pid) { servicePid_ = pid; }, cancel);
  return reply.outcome == platform::DeadlineReply::Outcome::Answered;
}

}  // namespace norvid::onaccess
