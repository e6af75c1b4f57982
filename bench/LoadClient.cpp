// Load client behind bench/load_test.
//   load_client generate DIR COUNT
//       writes COUNT small files into DIR: "clean-*" files the sample rules must not match
//       (among them EICAR strings that are not at the start or in a file too large) and
//       "eicar-*" files that must be found INFECTED by EICAR_Test_File
//   load_client run SOCKET DIR [--clients N] [--idle N] [--seconds S] [--max-requests N]
//       N clients send status, scan (of the files in DIR) and list_quarantine requests in a loop
//       for S seconds while N idle connections are held open (re-opened whenever the service
//       closes one); every answer is checked against what its request must return. Prints the
//       figures; exits 0 only when every answer was right and nothing was refused.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "norvid/Version.hpp"
#include "platform/ClientConnection.hpp"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kEicar =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
constexpr const char* kEicarRule = "EICAR_Test_File";
// Longer than the service's own request timeout, so a late answer is told from a lost one.
constexpr std::chrono::milliseconds kAnswerTimeout{15000};
constexpr std::size_t kFailuresShown = 10;

const char* const kWords[] = {"service", "report", "scan",  "engine", "quarantine", "rule",
                              "archive", "user",   "event", "memory", "device",     "window"};

// Generation

std::string words(std::mt19937& random, std::size_t size) {
  std::uniform_int_distribution<std::size_t> pick(0, std::size(kWords) - 1);
  std::string text;
  while (text.size() < size) {
    text += kWords[pick(random)];
    text += (random() % 10 == 0) ? '\n' : ' ';
  }
  text.resize(size);
  return text;
}

int generate(const fs::path& directory, int count) {
  fs::create_directories(directory);
  std::mt19937 random(4242);
  std::uniform_int_distribution<std::size_t> size(100, 2000);
  int infected = 0;
  for (int i = 0; i < count; ++i) {
    std::string name;
    std::string content;
    switch (i % 10) {
      case 0:  // the test string alone
        name = "eicar-" + std::to_string(i) + ".com";
        content = kEicar;
        break;
      case 5:  // the test string padded to the largest size the rule accepts
        name = "eicar-" + std::to_string(i) + ".txt";
        content = std::string(kEicar) + std::string(128 - std::string(kEicar).size(), ' ');
        break;
      case 3:  // the test string, but not at the start
        name = "clean-" + std::to_string(i) + ".txt";
        content = "note: " + std::string(kEicar);
        break;
      case 7:  // the test string at the start of a file too large for the rule
        name = "clean-" + std::to_string(i) + ".txt";
        content = std::string(kEicar) + "\n" + words(random, 200);
        break;
      default:
        name = "clean-" + std::to_string(i) + ".txt";
        content = words(random, size(random));
        break;
    }
    if (name.rfind("eicar-", 0) == 0) ++infected;
    std::ofstream out(directory / name, std::ios::binary);
    out << content;
    if (!out.flush()) {
      std::cerr << "load_client: cannot write " << (directory / name) << "\n";
      return 1;
    }
  }
  std::cout << count << " files, " << infected << " infected\n";
  return 0;
}

// Checking answers

struct Target {
  std::string path;
  bool infected = false;
};

std::vector<Target> listTargets(const fs::path& directory) {
  std::vector<Target> targets;
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    targets.push_back({entry.path().string(), name.rfind("eicar-", 0) == 0});
  }
  std::sort(targets.begin(), targets.end(),
            [](const Target& a, const Target& b) { return a.path < b.path; });
  return targets;
}

// Every member of a status answer with the JSON type it must have.
const std::map<std::string, json::value_t>& statusMembers() {
  static const std::map<std::string, json::value_t> members = {
      {"command", json::value_t::string},
      {"engine_ready", json::value_t::boolean},
      {"exclusions_count", json::value_t::number_integer},
      {"last_scan_path", json::value_t::string},
      {"last_scan_time", json::value_t::string},
      {"last_threat_name", json::value_t::string},
      {"last_threat_path", json::value_t::string},
      {"last_threat_time", json::value_t::string},
      {"memory_usage_mb", json::value_t::number_float},
      {"quarantine_count", json::value_t::number_integer},
      {"reports_count", json::value_t::number_integer},
      {"rules_loaded", json::value_t::number_integer},
      {"schedules_count", json::value_t::number_integer},
      {"service_name", json::value_t::string},
      {"service_running", json::value_t::boolean},
      {"status", json::value_t::string},
      {"total_amsi_scans", json::value_t::number_unsigned},
      {"total_amsi_threats", json::value_t::number_unsigned},
      {"total_scans", json::value_t::number_unsigned},
      {"total_threats", json::value_t::number_unsigned},
      {"uptime_formatted", json::value_t::string},
      {"uptime_seconds", json::value_t::number_integer},
      {"version", json::value_t::string},
  };
  return members;
}

bool sameType(json::value_t found, json::value_t wanted) {
  // Non-negative integers may come back as either integer kind.
  auto integer = [](json::value_t t) {
    return t == json::value_t::number_integer || t == json::value_t::number_unsigned;
  };
  if (integer(wanted)) return integer(found);
  return found == wanted;
}

// What one client has seen so far; a status answer must account for at least that much.
struct SeenCounts {
  std::uint64_t scans = 0;
  std::uint64_t threats = 0;
};

// Returns an empty string for a right answer, otherwise what was wrong.
std::string checkStatus(const json& answer, std::int64_t expectedRules, const SeenCounts& seen,
                        SeenCounts& lastReported) {
  const auto& members = statusMembers();
  for (const auto& [name, type] : members) {
    if (!answer.contains(name)) return "missing member " + name;
    if (!sameType(answer[name].type(), type)) return "member " + name + " of the wrong type";
  }
  if (answer.size() != members.size()) return "unexpected members";
  if (answer["status"] != "ok" || answer["command"] != "status") return "wrong status/command";
  if (answer["service_running"] != true || answer["engine_ready"] != true) return "not ready";
  if (answer["version"] != norvid::kVersion || answer["service_name"] != "NorvidCoreService") {
    return "wrong version or service name";
  }
  if (answer["rules_loaded"].get<std::int64_t>() != expectedRules) return "wrong rules_loaded";
  if (answer["quarantine_count"] != 0) return "quarantine_count not 0";
  const auto scans = answer["total_scans"].get<std::uint64_t>();
  const auto threats = answer["total_threats"].get<std::uint64_t>();
  if (scans < seen.scans || threats < seen.threats) return "counters behind this client's scans";
  if (scans < lastReported.scans || threats < lastReported.threats) return "counters went back";
  if (threats > scans) return "more threats than scans";
  const std::string threat = answer["last_threat_name"];
  if (threats > 0 && threat != kEicarRule) return "wrong last_threat_name " + threat;
  lastReported = {scans, threats};
  return "";
}

std::string checkScan(const json& answer, const Target& target) {
  static const std::set<std::string> cleanMembers = {"command", "files_scanned", "message",
                                                     "path",    "result",        "scan_type",
                                                     "status",  "threats_found"};
  if (answer.value("status", "") != "ok") return "status " + answer.value("status", "?");
  if (answer.value("command", "") != "scan" || answer.value("scan_type", "") != "file") {
    return "wrong command/scan_type";
  }
  if (answer.value("path", "") != target.path) return "wrong path";
  if (answer.value("files_scanned", -1) != 1) return "files_scanned not 1";
  std::set<std::string> names;
  for (const auto& item : answer.items()) names.insert(item.key());
  if (target.infected) {
    if (answer.value("result", "") != "INFECTED") return "result not INFECTED";
    std::set<std::string> wanted = cleanMembers;
    wanted.insert("threat_name");
    if (names != wanted) return "unexpected members";
    if (answer["threat_name"] != kEicarRule) return "wrong threat_name";
    if (answer["threats_found"] != 1) return "threats_found not 1";
    if (answer["message"] !=
        std::string("¡AMENAZA DETECTADA! Archivo infectado con: ") + kEicarRule) {
      return "wrong message";
    }
  } else {
    if (answer.value("result", "") != "CLEAN") return "result not CLEAN";
    if (names != cleanMembers) return "unexpected members";
    if (answer["threats_found"] != 0) return "threats_found not 0";
    if (answer["message"] != "El archivo está limpio. No se detectaron amenazas.") {
      return "wrong message";
    }
  }
  return "";
}

std::string checkListQuarantine(const json& answer) {
  if (answer.size() != 4) return "unexpected members";
  if (answer.value("status", "") != "ok" || answer.value("command", "") != "list_quarantine") {
    return "wrong status/command";
  }
  if (!answer.contains("items") || !answer["items"].is_array()) return "items not an array";
  if (!answer.contains("count") || answer["count"] != answer["items"].size()) {
    return "count differs from items";
  }
  if (!answer["items"].empty()) return "quarantine not empty";
  return "";
}

// Requests

enum class Kind { Status, Scan, ListQuarantine };
const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::Status:
      return "status";
    case Kind::Scan:
      return "scan";
    case Kind::ListQuarantine:
      return "list_quarantine";
  }
  return "?";
}

struct Exchange {
  std::optional<std::string> answer;  // empty: the service could not be reached or never answered
  bool refused = false;
  std::string problem;
  double milliseconds = 0;
};

Exchange sendAndReceive(const std::string& socket, const std::string& request) {
  Exchange result;
  const auto start = Clock::now();
  std::string error;
  auto connection = norvid::platform::ClientConnection::connectTo(socket, &error);
  if (!connection.isOpen()) {
    result.refused = true;
    result.problem = error;
  } else if (!connection.sendMessage(request, &error)) {
    result.problem = error;
  } else {
    result.answer = connection.receiveUntilClosed(kAnswerTimeout, &error);
    if (!result.answer) result.problem = error;
  }
  result.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return result;
}

struct Tally {
  std::map<Kind, std::vector<double>> latencies;
  std::uint64_t wrong = 0;
  std::uint64_t missing = 0;
  std::uint64_t refused = 0;
  std::uint64_t scans = 0;
  std::uint64_t threats = 0;
  std::vector<std::string> failures;

  void fail(std::string text) {
    if (failures.size() < kFailuresShown) failures.push_back(std::move(text));
  }
};

struct Settings {
  std::string socket;
  fs::path directory;
  int clients = 64;
  int idle = 200;
  double seconds = 30;
  std::uint64_t maxRequests = 200000;
};

void runClient(const Settings& settings, const std::vector<Target>& targets,
               std::int64_t expectedRules, unsigned seed, Clock::time_point end, Tally& tally) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> mix(0, 99);
  std::uniform_int_distribution<std::size_t> pick(0, targets.size() - 1);
  SeenCounts seen;
  SeenCounts reported;
  for (std::uint64_t n = 0; n < settings.maxRequests && Clock::now() < end; ++n) {
    const int roll = mix(random);
    const Kind kind = roll < 60 ? Kind::Scan : roll < 85 ? Kind::Status : Kind::ListQuarantine;
    const Target* target = kind == Kind::Scan ? &targets[pick(random)] : nullptr;
    json request{{"command", kindName(kind)}};
    if (target != nullptr) request["path"] = target->path;

    Exchange result = sendAndReceive(settings.socket, request.dump());
    const std::string label = std::string(kindName(kind)) + (target ? " " + target->path : "");
    if (result.refused) ++tally.refused;
    if (!result.answer || result.answer->empty()) {
      ++tally.missing;
      tally.fail(label + ": no answer" +
                 (result.problem.empty() ? "" : " (" + result.problem + ")"));
      continue;
    }
    tally.latencies[kind].push_back(result.milliseconds);
    std::string problem;
    try {
      const json answer = json::parse(*result.answer);
      if (kind == Kind::Scan && answer.is_object() && answer.value("status", "") == "ok") {
        // The service counts every scan it answers, right or wrong.
        ++seen.scans;
        if (answer.value("result", "") == "INFECTED") ++seen.threats;
      }
      if (!answer.is_object()) {
        problem = "not an object";
      } else if (kind == Kind::Status) {
        problem = checkStatus(answer, expectedRules, seen, reported);
      } else if (kind == Kind::Scan) {
        problem = checkScan(answer, *target);
      } else {
        problem = checkListQuarantine(answer);
      }
    } catch (const json::exception& error) {
      problem = std::string("unreadable answer: ") + error.what();
    }
    if (!problem.empty()) {
      ++tally.wrong;
      tally.fail(label + ": " + problem + ": " + result.answer->substr(0, 300));
    }
  }
  tally.scans = seen.scans;
  tally.threats = seen.threats;
}

// Idle connections

struct IdleFigures {
  std::uint64_t opened = 0;
  std::uint64_t closedByService = 0;
  std::uint64_t connectFailures = 0;
  std::size_t fewestOpen = SIZE_MAX;
  std::size_t mostOpen = 0;
  double lifetimeSum = 0;
  double shortestLifetime = 0;
  std::string lastError;
};

// Keeps `count` connections open without ever writing on them until `stop` is set; a
// connection the service closes is replaced at the next sweep.
void holdIdle(const Settings& settings, const std::atomic<bool>& stop, IdleFigures& figures) {
  struct Held {
    norvid::platform::ClientConnection connection;
    Clock::time_point opened;
  };
  std::vector<Held> held(static_cast<std::size_t>(settings.idle));
  while (!stop.load()) {
    std::size_t open = 0;
    for (Held& slot : held) {
      if (slot.connection.isOpen() && slot.connection.closedByPeer()) {
        const double lived = std::chrono::duration<double>(Clock::now() - slot.opened).count();
        figures.lifetimeSum += lived;
        if (figures.closedByService == 0 || lived < figures.shortestLifetime) {
          figures.shortestLifetime = lived;
        }
        ++figures.closedByService;
        slot.connection.close();
      }
      if (!slot.connection.isOpen() && !stop.load()) {
        std::string error;
        slot.connection = norvid::platform::ClientConnection::connectTo(settings.socket, &error);
        slot.opened = Clock::now();
        if (slot.connection.isOpen()) {
          ++figures.opened;
        } else {
          ++figures.connectFailures;
          figures.lastError = error;
        }
      }
      if (slot.connection.isOpen()) ++open;
    }
    figures.fewestOpen = std::min(figures.fewestOpen, open);
    figures.mostOpen = std::max(figures.mostOpen, open);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// Reporting

double percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  std::size_t index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
  return sorted[index];
}

std::string latencyLine(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::ostringstream line;
  line << std::fixed << std::setprecision(2) << "p50 " << percentile(values, 0.50) << " ms, p99 "
       << percentile(values, 0.99) << " ms, max " << (values.empty() ? 0 : values.back()) << " ms";
  return line.str();
}

std::optional<json> askStatus(const std::string& socket, std::string& problem) {
  Exchange result = sendAndReceive(socket, R"({"command":"status"})");
  if (!result.answer || result.answer->empty()) {
    problem = "status: no answer " + result.problem;
    return std::nullopt;
  }
  try {
    json answer = json::parse(*result.answer);
    if (answer.value("status", "") == "ok") return answer;
  } catch (const json::exception&) {
  }
  problem = "status: " + *result.answer;
  return std::nullopt;
}

int run(const Settings& settings) {
  const std::vector<Target> targets = listTargets(settings.directory);
  if (targets.empty()) {
    std::cerr << "load_client: no files in " << settings.directory << "\n";
    return 2;
  }
  std::string problem;
  const auto before = askStatus(settings.socket, problem);
  if (!before) {
    std::cerr << "load_client: " << problem << "\n";
    return 2;
  }
  const std::int64_t rules = before->value("rules_loaded", std::int64_t{0});
  const auto scansBefore = before->value("total_scans", std::uint64_t{0});
  const auto threatsBefore = before->value("total_threats", std::uint64_t{0});

  std::atomic<bool> stopIdle{false};
  IdleFigures idle;
  std::thread idleThread([&] { holdIdle(settings, stopIdle, idle); });
  // Let the idle connections be in place before the load starts.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  std::vector<Tally> tallies(static_cast<std::size_t>(settings.clients));
  std::vector<std::thread> clients;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(settings.seconds));
  for (int i = 0; i < settings.clients; ++i) {
    clients.emplace_back([&, i] {
      runClient(settings, targets, rules, 1000u + static_cast<unsigned>(i), end,
                tallies[static_cast<std::size_t>(i)]);
    });
  }
  for (std::thread& client : clients) client.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  stopIdle = true;
  idleThread.join();

  Tally total;
  for (Tally& tally : tallies) {
    for (auto& [kind, values] : tally.latencies) {
      auto& all = total.latencies[kind];
      all.insert(all.end(), values.begin(), values.end());
    }
    total.wrong += tally.wrong;
    total.missing += tally.missing;
    total.refused += tally.refused;
    total.scans += tally.scans;
    total.threats += tally.threats;
    for (std::string& failure : tally.failures) total.fail(std::move(failure));
  }

  // Every answered scan must have been counted once by the service, and nothing else.
  std::uint64_t wrongCounters = 0;
  const auto after = askStatus(settings.socket, problem);
  std::uint64_t scansCounted = 0;
  std::uint64_t threatsCounted = 0;
  if (!after) {
    ++wrongCounters;
    total.fail(problem);
  } else {
    scansCounted = after->value("total_scans", std::uint64_t{0}) - scansBefore;
    threatsCounted = after->value("total_threats", std::uint64_t{0}) - threatsBefore;
    if (scansCounted != total.scans || threatsCounted != total.threats) ++wrongCounters;
  }

  std::vector<double> all;
  std::uint64_t answered = 0;
  for (auto& [kind, values] : total.latencies) {
    all.insert(all.end(), values.begin(), values.end());
    answered += values.size();
  }
  const std::uint64_t sent = answered + total.missing;
  std::size_t infectedFiles = 0;
  for (const Target& target : targets) infectedFiles += target.infected ? 1 : 0;

  std::cout << std::fixed << std::setprecision(1);
  std::cout << "load: " << settings.clients << " clients for " << elapsed << " s over "
            << targets.size() << " files (" << infectedFiles << " infected), " << settings.idle
            << " idle connections\n";
  std::cout << "requests: " << sent << " sent, " << answered << " answered, "
            << static_cast<double>(answered) / elapsed << " per second\n";
  std::cout << "latency (connect to close): all " << latencyLine(all) << "\n";
  for (auto& [kind, values] : total.latencies) {
    std::cout << "  " << std::left << std::setw(16) << kindName(kind) << std::right << values.size()
              << " answers, " << latencyLine(values) << "\n";
  }
  const std::uint64_t bad = total.wrong + total.missing + wrongCounters;
  std::cout << "wrong or missing answers: " << bad << " (wrong " << total.wrong << ", missing "
            << total.missing << ", refused connections " << total.refused
            << ", statistics mismatches " << wrongCounters << ")\n";
  std::cout << "statistics: total_scans +" << scansCounted << " for " << total.scans
            << " scan answers, total_threats +" << threatsCounted << " for " << total.threats
            << " INFECTED answers\n";
  std::cout << "idle connections: " << idle.fewestOpen << " to " << idle.mostOpen
            << " open at once, " << idle.opened << " opened, " << idle.closedByService
            << " closed by the service (lifetime mean "
            << (idle.closedByService ? idle.lifetimeSum / static_cast<double>(idle.closedByService)
                                     : 0.0)
            << " s, shortest " << idle.shortestLifetime << " s), " << idle.connectFailures
            << " refused\n";
  if (!idle.lastError.empty()) std::cout << "  last idle connect error: " << idle.lastError << "\n";
  for (const std::string& failure : total.failures) std::cerr << "  failure: " << failure << "\n";

  const bool sound = bad == 0 && total.refused == 0 && idle.connectFailures == 0 && answered > 0;
  return sound ? 0 : 1;
}

int usage() {
  std::cerr << "usage: load_client generate DIR COUNT\n"
               "       load_client run SOCKET DIR [--clients N] [--idle N] [--seconds S]"
               " [--max-requests N]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 3 && args[0] == "generate") return generate(args[1], std::stoi(args[2]));
    if (args.size() < 3 || args[0] != "run" || args.size() % 2 == 0) return usage();
    Settings settings;
    settings.socket = args[1];
    settings.directory = args[2];
    for (std::size_t i = 3; i + 1 < args.size(); i += 2) {
      const std::string& option = args[i];
      const std::string& value = args[i + 1];
      if (option == "--clients") {
        settings.clients = std::max(1, std::stoi(value));
      } else if (option == "--idle") {
        settings.idle = std::max(0, std::stoi(value));
      } else if (option == "--seconds") {
        settings.seconds = std::clamp(std::stod(value), 1.0, 600.0);
      } else if (option == "--max-requests") {
        settings.maxRequests = std::stoull(value);
      } else {
        return usage();
      }
    }
    return run(settings);
  } catch (const std::exception& error) {
    std::cerr << "load_client: " << error.what() << "\n";
    return 2;
  }
}
