#include "tests/support/EventLogCapture.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "logging/EventLogger.hpp"
#include "platform/LocalTime.hpp"

namespace norvid::testing {

EventLogCapture& EventLogCapture::instance() {
  static EventLogCapture capture;
  return capture;
}

EventLogCapture::EventLogCapture() {
  std::string pattern = (std::filesystem::temp_directory_path() / "norvid-log-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  directory_ = pattern;
  EventLogger::instance().initialize(directory_);
}

std::vector<std::string> EventLogCapture::allLines() const {
  std::vector<std::string> lines;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
    if (entry.path().extension() == ".log") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  return lines;
}

std::size_t EventLogCapture::mark() const { return allLines().size(); }

std::vector<std::string> EventLogCapture::linesSince(std::size_t mark) const {
  std::vector<std::string> lines = allLines();
  if (mark >= lines.size()) return {};
  return std::vector<std::string>(lines.begin() + static_cast<long>(mark), lines.end());
}

std::vector<std::string> EventLogCapture::messagesSince(std::size_t mark) const {
  std::vector<std::string> messages;
  for (const std::string& line : linesSince(mark)) {
    messages.push_back(line.size() > 31 ? line.substr(31) : line);
  }
  return messages;
}

}  // namespace norvid::testing
