#include "service/ServiceUnitFiles.hpp"

#include <sstream>

// Generated at build time from packaging/systemd: kServiceUnitText and kSocketUnitText.
#include "service/ServiceUnitTexts.inc"

namespace norvid {
namespace {

// The value of the first line of `text` that starts with `key` ("ExecStart=").
std::string valueOf(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(key, 0) == 0) return line.substr(key.size());
  }
  return std::string();
}

}  // namespace

std::vector<platform::ServiceManager::UnitFile> ServiceUnitFiles::forExecutable(
    const std::string& executablePath) {
  std::string service = kServiceUnitText;
  const std::string key = "\nExecStart=";
  std::size_t start = service.find(key);
  if (start != std::string::npos) {
    start += key.size();
    std::size_t end = service.find('\n', start);
    service.replace(start, end - start, executablePath);
  }
  return {{"NorvidCoreService.service", service}, {"NorvidCoreService.socket", kSocketUnitText}};
}

std::string ServiceUnitFiles::capabilityBoundingSet() {
  return valueOf(kServiceUnitText, "CapabilityBoundingSet=");
}

}  // namespace norvid
