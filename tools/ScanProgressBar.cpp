#include "tools/ScanProgressBar.hpp"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <future>
#include <iostream>
#include <thread>

#include "platform/ProcessInfo.hpp"
#include "platform/SocketClient.hpp"
#include "platform/Terminal.hpp"

namespace norvid {
namespace {

using nlohmann::json;

constexpr auto kPollInterval = std::chrono::milliseconds(250);
constexpr auto kTick = std::chrono::milliseconds(20);
constexpr int kBarCells = 20;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int) {
  interrupted = 1;
  // A second Ctrl-C ends the client at once, as usual.
  std::signal(SIGINT, SIG_DFL);
}

// Ctrl-C handled by the bar for its lifetime.
class InterruptCatcher {
 public:
  InterruptCatcher() {
    interrupted = 0;
    previous_ = std::signal(SIGINT, onInterrupt);
  }
  ~InterruptCatcher() { std::signal(SIGINT, previous_); }
  InterruptCatcher(const InterruptCatcher&) = delete;
  InterruptCatcher& operator=(const InterruptCatcher&) = delete;

 private:
  void (*previous_)(int) = SIG_DFL;
};

std::string duration(std::int64_t seconds) {
  if (seconds >= 3600) {
    const std::int64_t minutes = seconds / 60 % 60;
    return std::to_string(seconds / 3600) + "h" + (minutes < 10 ? "0" : "") +
           std::to_string(minutes) + "m";
  }
  if (seconds >= 60) {
    const std::int64_t rest = seconds % 60;
    return std::to_string(seconds / 60) + "m" + (rest < 10 ? "0" : "") + std::to_string(rest) + "s";
  }
  return std::to_string(seconds) + "s";
}

// Characters on screen: UTF-8 continuation bytes take no column.
int width(const std::string& text) {
  int columns = 0;
  for (unsigned char byte : text) {
    if ((byte & 0xC0) != 0x80) ++columns;
  }
  return columns;
}

// The end of `text` in at most `columns` characters, "..." in front when something was cut.
std::string tail(const std::string& text, int columns) {
  if (width(text) <= columns) return text;
  if (columns <= 3) return "";
  std::size_t start = text.size();
  int kept = 0;
  while (start > 0 && kept < columns - 3) {
    --start;
    if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) ++kept;
  }
  return "..." + text.substr(start);
}

// The start of `text` in at most `columns` characters.
std::string head(const std::string& text, int columns) {
  std::size_t end = 0;
  int kept = 0;
  while (end < text.size()) {
    if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && kept++ == columns) break;
    ++end;
  }
  return text.substr(0, end);
}

// The record of the scan this client asked for, by its command, path and process.
const json* findOwnScan(const json& list, const std::string& command, const std::string& path) {
  if (!list.is_object() || !list.contains("scans") || !list["scans"].is_array()) return nullptr;
  const std::int32_t pid = platform::currentProcessId();
  for (const json& record : list["scans"]) {
    if (record.value("command", "") == command && record.value("path", "") == path &&
        record.value("pid", 0) == pid) {
      return &record;
    }
  }
  return nullptr;
}

std::optional<json> ask(const std::string& socketPath, const json& request) {
  auto answer = platform::sendRequest(socketPath, request.dump());
  if (!answer) return std::nullopt;
  json parsed = json::parse(*answer, nullptr, false);
  if (parsed.is_discarded()) return std::nullopt;
  return parsed;
}

}  // namespace

std::string ScanProgressBar::render(const json& record, int columns) {
  const auto scanned = record.value("files_scanned", std::uint64_t{0});
  std::string line;
  if (record.contains("percent")) {
    const double percent = record.value("percent", 0.0);
    const int filled = static_cast<int>(percent / 100.0 * kBarCells + 0.5);
    line += "[" + std::string(static_cast<std::size_t>(filled), '#') +
            std::string(static_cast<std::size_t>(kBarCells - filled), '.') + "] ";
    char text[16];
    std::snprintf(text, sizeof text, "%5.1f%%", percent);
    line += text;
    line += "  " + std::to_string(scanned) + "/" +
            std::to_string(record.value("total_files", std::uint64_t{0})) + " archivos";
  } else {
    line += "[contando...] " + std::to_string(scanned) + " archivos";
  }
  line += "  " + std::to_string(record.value("threats_found", std::uint64_t{0})) + " amenazas";
  if (record.contains("seconds_left")) {
    line += "  quedan " + duration(record.value("seconds_left", std::int64_t{0}));
  }
  if (record.value("cancel_requested", false)) line += "  cancelando...";
  const int room = columns - 1 - width(line) - 2;
  const std::string current = tail(record.value("current_file", ""), room);
  if (!current.empty()) line += "  " + current;
  // The last column stays free, so the terminal never wraps the line.
  return head(line, columns - 1);
}

platform::Result<std::string> ScanProgressBar::send(const std::string& socketPath,
                                                    const std::string& request, bool raw) {
  const json parsed = json::parse(request, nullptr, false);
  const std::string command =
      parsed.is_object() && parsed.contains("command") && parsed["command"].is_string()
          ? parsed["command"].get<std::string>()
          : "";
  const bool watchable = (command == "scan" || command == "generate_report") &&
                         parsed.contains("path") && parsed["path"].is_string();
  if (raw || !watchable || !platform::outputIsTerminal()) {
    return platform::sendRequest(socketPath, request);
  }
  const std::string path = parsed["path"].get<std::string>();

  InterruptCatcher catcher;
  std::future<platform::Result<std::string>> answer =
      std::async(std::launch::async, [&] { return platform::sendRequest(socketPath, request); });
  std::optional<std::int64_t> scanId;
  bool cancelSent = false;
  bool drawn = false;
  // Ctrl-C is looked at every tick so that the cancel leaves at once; the progress is asked for
  // every poll interval.
  const auto cancelOnInterrupt = [&] {
    if (!interrupted || cancelSent || !scanId) return;
    ask(socketPath, {{"command", "cancel_scan"}, {"scan_id", *scanId}});
    cancelSent = true;
  };
  auto nextPoll = std::chrono::steady_clock::now();
  while (answer.wait_for(kTick) != std::future_status::ready) {
    cancelOnInterrupt();
    if (std::chrono::steady_clock::now() < nextPoll) continue;
    nextPoll = std::chrono::steady_clock::now() + kPollInterval;
    const std::optional<json> list = ask(socketPath, {{"command", "list_scans"}});
    const json* record = list ? findOwnScan(*list, command, path) : nullptr;
    if (record == nullptr) continue;
    scanId = record->value("scan_id", std::int64_t{0});
    cancelOnInterrupt();
    std::cerr << "\r" << render(*record, platform::terminalColumns()) << "\x1b[K" << std::flush;
    drawn = true;
  }
  if (drawn) std::cerr << "\r\x1b[K" << std::flush;
  if (cancelSent) std::cerr << "Escaneo " << *scanId << " cancelado.\n";
  return answer.get();
}

}  // namespace norvid
