// Load client behind bench/load_test.
//   load_client generate DIR COUNT
//       writes COUNT small files into DIR: "clean-*" files the sample rules must not match
//       (among them EICAR strings that are not at the start or in a file too large) and
//       "eicar-*" files that must be found INFECTED by EICAR_Test_File
//   load_client seed DATA_DIR COUNT
//       writes a quarantine metadata.json of COUNT records with 1,000-byte threat names (no coded
//       copies), so that list_quarantine answers are large
//   load_client run SOCKET DIR [--clients N] [--idle N] [--seconds S] [--max-requests N]
//                  [--mix NAME] [--quarantined N] [--hostile-dir DIR] [--flood N] [--slow N]
//                  [--sparse-mib N] [--scan-flood N] [--flood-dir DIR]
//       N clients send status, scan (of the files in DIR) and list_quarantine requests in a loop
//       for S seconds while N idle connections are held open (re-opened whenever the service
//       closes one); every answer is checked against what its request must return. The mix adds
//       hostile clients running as uid 65534 alongside:
//         baseline           none
//         idle-flood         --flood connections (default 1500) opened and never written to,
//                            re-opened every second when the service closes them
//         slow-readers       --slow clients (default 66) that ask for list_quarantine and read one
//                            64 KiB message every 8 s
//         sparse-quarantine  quarantine_file of a --sparse-mib (default 1024) sparse file of the
//                            caller's own in --hostile-dir, over and over (a root thread deletes
//                            each quarantined copy again)
//         scan-flood         --scan-flood (default 64) connections each asking for a `scan` of
//                            --flood-dir (default /usr), each asked again as soon as it is
//                            answered; meanwhile root sends scan_realtime of a 6-byte file every
//                            200 ms. At the end the user hangs up and the time until its scans are
//                            gone from list_scans is measured
//       --quarantined N is the number of records the store holds at the start. Prints the figures;
//       exits 0 only when every answer was right and nothing was refused.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
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
#include "platform/SystemError.hpp"

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

int seed(const fs::path& dataDir, int count) {
  fs::create_directories(dataDir / "Quarantine");
  json entries = json::array();
  const std::string threat(1000, 'T');
  for (int i = 0; i < count; ++i) {
    char id[40];
    std::snprintf(id, sizeof id, "%08x-0000-4000-8000-%012x", i, i);
    entries.push_back(
        {{"file_hash", "unknown"},
         {"file_size", 1},
         {"id", id},
         {"original_path", "/srv/load/seeded-" + std::to_string(i) + ".bin"},
         {"quarantine_date", 1733489000 + i},
         {"quarantine_path", (dataDir / "Quarantine" / (std::string(id) + ".qtn")).string()},
         {"scan_engine", "YARA"},
         {"threat_name", threat}});
  }
  std::ofstream out(dataDir / "Quarantine" / "metadata.json", std::ios::binary);
  out << json{{"entries", std::move(entries)}, {"version", "1.0"}}.dump(2);
  if (!out.flush()) return 1;
  std::cout << count << " quarantine records\n";
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
// The quarantine holds between `floor` and `floor + slack` records while the load runs.
struct QuarantineRange {
  std::int64_t floor = 0;
  std::int64_t slack = 0;
  bool holds(std::int64_t count) const { return count >= floor && count <= floor + slack; }
};

std::string checkStatus(const json& answer, std::int64_t expectedRules, const SeenCounts& seen,
                        SeenCounts& lastReported, const QuarantineRange& quarantine) {
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
  if (!quarantine.holds(answer["quarantine_count"].get<std::int64_t>())) {
    return "quarantine_count out of range";
  }
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

std::string checkListQuarantine(const json& answer, const QuarantineRange& quarantine) {
  if (answer.size() != 4) return "unexpected members";
  if (answer.value("status", "") != "ok" || answer.value("command", "") != "list_quarantine") {
    return "wrong status/command";
  }
  if (!answer.contains("items") || !answer["items"].is_array()) return "items not an array";
  if (!answer.contains("count") || answer["count"] != answer["items"].size()) {
    return "count differs from items";
  }
  if (!quarantine.holds(static_cast<std::int64_t>(answer["items"].size()))) {
    return "quarantine count out of range";
  }
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
  auto connection = norvid::platform::ClientConnection::connectTo(socket);
  if (!connection) {
    result.refused = true;
    result.problem = connection.message();
  } else if (auto sent = connection->sendMessage(request); !sent) {
    result.problem = sent.message();
  } else if (auto answer = connection->receiveUntilClosed(kAnswerTimeout); !answer) {
    result.problem = answer.message();
  } else {
    result.answer = std::move(*answer);
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
  std::string mix = "baseline";
  QuarantineRange quarantine;
  fs::path hostileDir;
  int flood = 1500;
  int slowReaders = 66;
  std::uint64_t sparseMiB = 1024;
  int scanFlood = 64;
  fs::path floodDir = "/usr";
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
        problem = checkStatus(answer, expectedRules, seen, reported, settings.quarantine);
      } else if (kind == Kind::Scan) {
        problem = checkScan(answer, *target);
      } else {
        problem = checkListQuarantine(answer, settings.quarantine);
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
        auto connection = norvid::platform::ClientConnection::connectTo(settings.socket);
        slot.opened = Clock::now();
        if (connection) {
          slot.connection = std::move(*connection);
          ++figures.opened;
        } else {
          ++figures.connectFailures;
          figures.lastError = connection.message();
        }
      }
      if (slot.connection.isOpen()) ++open;
    }
    figures.fewestOpen = std::min(figures.fewestOpen, open);
    figures.mostOpen = std::max(figures.mostOpen, open);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// Hostile clients

constexpr std::uint32_t kNobody = 65534;

// Takes on uid and gid 65534 for the calling thread only (the raw system calls, unlike the C
// library's wrappers, do not spread the change to the other threads), so that the connections this
// thread makes count as another user's. False when the process may not do so.
bool becomeNobodyOnThisThread() {
  return ::syscall(SYS_setgroups, 0, nullptr) == 0 &&
         ::syscall(SYS_setresgid, kNobody, kNobody, kNobody) == 0 &&
         ::syscall(SYS_setresuid, kNobody, kNobody, kNobody) == 0;
}

// A raw connection for the clients that pace their own reads.
int connectRaw(const std::string& socket) {
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sleeps `duration` in short steps, returning early once `stop` is set.
void pause(const std::atomic<bool>& stop, std::chrono::milliseconds duration) {
  const auto until = Clock::now() + duration;
  while (!stop.load() && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

struct HostileFigures {
  std::mutex mutex;
  std::uint64_t connections = 0;   // opened
  std::uint64_t closedAtOnce = 0;  // closed by the service before a second look
  std::size_t mostOpen = 0;        // flood: most connections found open at one sweep
  std::uint64_t responsesCut = 0;  // slow readers: answers closed before they were read
  double longestSlowSeconds = 0;   // slow readers: longest connection
  std::uint64_t bytesRead = 0;
  std::uint64_t quarantined = 0;  // sparse: quarantines answered ok
  std::uint64_t quarantineRefused = 0;
  double longestQuarantineSeconds = 0;
  std::uint64_t deleted = 0;
  std::uint64_t scansRefused = 0;   // scan flood: answered with the per-user refusal
  std::uint64_t scansAnswered = 0;  // scan flood: scans that ran to their answer
  std::vector<double> realtimeMs;   // scan flood: root's scan_realtime latencies
  std::uint64_t realtimeWrong = 0;
  double goneSeconds = -1;  // scan flood: hang-up to no scan of the user listed; -1: never
  std::string problem;
};

void idleFlood(const Settings& settings, const std::atomic<bool>& stop, HostileFigures& figures) {
  if (!becomeNobodyOnThisThread()) {
    figures.problem = "cannot switch a thread to uid 65534";
    return;
  }
  std::vector<int> held(static_cast<std::size_t>(settings.flood), -1);
  while (!stop.load()) {
    std::size_t open = 0;
    for (int& fd : held) {
      if (fd >= 0) {
        char byte;
        const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
          ::close(fd);
          fd = -1;
          std::lock_guard<std::mutex> guard(figures.mutex);
          ++figures.closedAtOnce;
        }
      }
      if (fd < 0 && !stop.load()) {
        fd = connectRaw(settings.socket);
        if (fd >= 0) {
          std::lock_guard<std::mutex> guard(figures.mutex);
          ++figures.connections;
        }
      }
      if (fd >= 0) ++open;
    }
    {
      std::lock_guard<std::mutex> guard(figures.mutex);
      figures.mostOpen = std::max(figures.mostOpen, open);
    }
    pause(stop, std::chrono::milliseconds(1000));
  }
  for (int fd : held) {
    if (fd >= 0) ::close(fd);
  }
}

void slowReader(const Settings& settings, const std::atomic<bool>& stop, HostileFigures& figures) {
  if (!becomeNobodyOnThisThread()) {
    std::lock_guard<std::mutex> guard(figures.mutex);
    figures.problem = "cannot switch a thread to uid 65534";
    return;
  }
  std::vector<char> buffer(64 * 1024);
  const std::string request = R"({"command":"list_quarantine"})";
  while (!stop.load()) {
    int fd = connectRaw(settings.socket);
    if (fd < 0) {
      pause(stop, std::chrono::milliseconds(200));
      continue;
    }
    const auto opened = Clock::now();
    {
      std::lock_guard<std::mutex> guard(figures.mutex);
      ++figures.connections;
    }
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
      ::close(fd);
      continue;
    }
    bool more = true;
    while (more && !stop.load()) {
      pause(stop, std::chrono::milliseconds(8000));
      const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      std::lock_guard<std::mutex> guard(figures.mutex);
      if (got > 0) figures.bytesRead += static_cast<std::uint64_t>(got);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
        more = false;
        ++figures.responsesCut;
        figures.longestSlowSeconds =
            std::max(figures.longestSlowSeconds,
                     std::chrono::duration<double>(Clock::now() - opened).count());
      }
    }
    ::close(fd);
  }
}

// Quarantines the thread's own sparse file over and over; `ids` passes each new copy to
// deleteQuarantined, which removes it as root.
struct IdQueue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::string> ids;
};

void sparseQuarantines(const Settings& settings, const std::atomic<bool>& stop,
                       HostileFigures& figures, IdQueue& queue) {
  if (!becomeNobodyOnThisThread()) {
    std::lock_guard<std::mutex> guard(figures.mutex);
    figures.problem = "cannot switch a thread to uid 65534";
    return;
  }
  const std::string path = (settings.hostileDir / "sparse.bin").string();
  for (int round = 0; !stop.load(); ++round) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(settings.sparseMiB << 20)) != 0) {
      if (fd >= 0) ::close(fd);
      std::lock_guard<std::mutex> guard(figures.mutex);
      figures.problem =
          "cannot make the sparse file " + path + ": " + norvid::platform::errnoText(errno);
      return;
    }
    ::close(fd);
    const auto start = Clock::now();
    Exchange result = sendAndReceive(
        settings.socket,
        json{{"command", "quarantine_file"}, {"path", path}, {"threat_name", "Sparse"}}.dump());
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    std::lock_guard<std::mutex> guard(figures.mutex);
    figures.longestQuarantineSeconds = std::max(figures.longestQuarantineSeconds, took);
    json answer = json::parse(result.answer.value_or(""), nullptr, false);
    if (answer.is_object() && answer.value("status", "") == "ok") {
      ++figures.quarantined;
      std::lock_guard<std::mutex> queued(queue.mutex);
      queue.ids.push_back(answer.value("file_id", ""));
      queue.ready.notify_one();
    } else {
      ++figures.quarantineRefused;
      pause(stop, std::chrono::milliseconds(500));
    }
  }
  ::unlink(path.c_str());
}

void deleteQuarantined(const Settings& settings, const std::atomic<bool>& stop,
                       HostileFigures& figures, IdQueue& queue) {
  for (;;) {
    std::string id;
    {
      std::unique_lock<std::mutex> lock(queue.mutex);
      queue.ready.wait_for(lock, std::chrono::milliseconds(200));
      if (queue.ids.empty()) {
        if (stop.load()) return;
        continue;
      }
      id = queue.ids.front();
      queue.ids.pop_front();
    }
    Exchange result =
        sendAndReceive(settings.socket, json{{"command", "delete_quarantine"}, {"id", id}}.dump());
    json answer = json::parse(result.answer.value_or(""), nullptr, false);
    std::lock_guard<std::mutex> guard(figures.mutex);
    if (answer.is_object() && answer.value("status", "") == "ok") {
      ++figures.deleted;
    } else if (figures.problem.empty()) {
      figures.problem = "delete_quarantine " + id + ": " + result.answer.value_or("no answer");
    }
  }
}

// Keeps `--scan-flood` scans of the flood folder asked for as uid 65534, each asked again once
// answered, until `stop`; then hangs up on all of them at once.
void scanFlood(const Settings& settings, const std::atomic<bool>& stop, HostileFigures& figures) {
  if (!becomeNobodyOnThisThread()) {
    std::lock_guard<std::mutex> guard(figures.mutex);
    figures.problem = "cannot switch a thread to uid 65534";
    return;
  }
  const std::string request =
      json{{"command", "scan"}, {"path", settings.floodDir.string()}}.dump();
  const std::string refusal =
      R"({"error":"Demasiadas solicitudes en curso para este usuario","status":"error"})";
  std::vector<int> held(static_cast<std::size_t>(settings.scanFlood), -1);
  std::vector<char> buffer(256 * 1024);
  while (!stop.load()) {
    for (int& fd : held) {
      if (fd >= 0) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        std::lock_guard<std::mutex> guard(figures.mutex);
        if (got > 0 && std::string(buffer.data(), static_cast<std::size_t>(got)) == refusal) {
          ++figures.scansRefused;
        } else if (got > 0) {
          ++figures.scansAnswered;
        }
        ::close(fd);
        fd = -1;
      }
      fd = connectRaw(settings.socket);
      if (fd >= 0 && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
        ::close(fd);
        fd = -1;
      }
      if (fd >= 0) {
        std::lock_guard<std::mutex> guard(figures.mutex);
        ++figures.connections;
      }
    }
    pause(stop, std::chrono::milliseconds(100));
  }
  for (int fd : held) {
    if (fd >= 0) ::close(fd);
  }
}

// Root's on-access scan of a small file every 200 ms while the flood runs.
void realtimeProbe(const Settings& settings, const std::atomic<bool>& stop,
                   HostileFigures& figures) {
  const fs::path probe = settings.directory.parent_path() / "realtime-probe.txt";
  {
    std::ofstream out(probe, std::ios::binary);
    out << "sixbyt";
  }
  const std::string request = json{{"command", "scan_realtime"}, {"path", probe.string()}}.dump();
  while (!stop.load()) {
    Exchange result = sendAndReceive(settings.socket, request);
    json answer = json::parse(result.answer.value_or(""), nullptr, false);
    std::lock_guard<std::mutex> guard(figures.mutex);
    if (answer.is_object() && answer.value("status", "") == "clean") {
      figures.realtimeMs.push_back(result.milliseconds);
    } else {
      ++figures.realtimeWrong;
    }
    pause(stop, std::chrono::milliseconds(200));
  }
  fs::remove(probe);
}

// Seconds from now until list_scans (as root) shows no scan of uid 65534; -1 after 60 s.
double secondsUntilNobodysScansAreGone(const std::string& socket) {
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(60)) {
    Exchange result = sendAndReceive(socket, R"({"command":"list_scans"})");
    json answer = json::parse(result.answer.value_or(""), nullptr, false);
    bool any = !answer.is_object() || !answer.contains("scans");
    if (!any) {
      for (const json& record : answer["scans"]) any = any || record.value("uid", 0u) == kNobody;
    }
    if (!any) return std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

// Starts the mix's hostile clients; they run until `stop`.
std::vector<std::thread> startHostile(const Settings& settings, const std::atomic<bool>& stop,
                                      HostileFigures& figures, IdQueue& queue) {
  std::vector<std::thread> threads;
  if (settings.mix == "idle-flood") {
    threads.emplace_back([&] { idleFlood(settings, stop, figures); });
  } else if (settings.mix == "slow-readers") {
    for (int i = 0; i < settings.slowReaders; ++i) {
      threads.emplace_back([&] { slowReader(settings, stop, figures); });
    }
  } else if (settings.mix == "sparse-quarantine") {
    threads.emplace_back([&] { sparseQuarantines(settings, stop, figures, queue); });
    threads.emplace_back([&] { deleteQuarantined(settings, stop, figures, queue); });
  } else if (settings.mix == "scan-flood") {
    threads.emplace_back([&] { scanFlood(settings, stop, figures); });
    threads.emplace_back([&] { realtimeProbe(settings, stop, figures); });
  }
  return threads;
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
  HostileFigures hostile;
  IdQueue deletions;
  std::vector<std::thread> hostileThreads = startHostile(settings, stopIdle, hostile, deletions);
  // Let the idle connections and the hostile clients be in place before the load starts.
  std::this_thread::sleep_for(std::chrono::milliseconds(settings.mix == "baseline" ? 500 : 2000));

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
  for (std::thread& thread : hostileThreads) thread.join();
  if (settings.mix == "scan-flood")
    hostile.goneSeconds = secondsUntilNobodysScansAreGone(settings.socket);

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
    // The flood's own scans are counted too, so under it the service counts at least these.
    const bool exact = settings.mix != "scan-flood";
    if (exact ? (scansCounted != total.scans || threatsCounted != total.threats)
              : (scansCounted < total.scans || threatsCounted < total.threats)) {
      ++wrongCounters;
    }
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
  if (settings.mix == "idle-flood") {
    std::cout << "idle flood as uid 65534: " << hostile.connections << " connections opened, "
              << hostile.closedAtOnce << " closed by the service, at most " << hostile.mostOpen
              << " found open at one sweep\n";
  } else if (settings.mix == "slow-readers") {
    std::cout << "slow readers as uid 65534: " << hostile.connections << " connections, "
              << hostile.bytesRead / 1024 << " KiB read, " << hostile.responsesCut
              << " closed by the service, longest " << hostile.longestSlowSeconds << " s\n";
  } else if (settings.mix == "sparse-quarantine") {
    std::cout << "sparse quarantines as uid 65534 (" << settings.sparseMiB
              << " MiB): " << hostile.quarantined << " done, " << hostile.quarantineRefused
              << " refused, " << hostile.deleted << " deleted again, longest "
              << hostile.longestQuarantineSeconds << " s\n";
  } else if (settings.mix == "scan-flood") {
    std::cout << "scan flood as uid 65534 (" << settings.scanFlood << " connections, scans of "
              << settings.floodDir.string() << "): " << hostile.connections << " requests, "
              << hostile.scansRefused << " refused as too many, " << hostile.scansAnswered
              << " answered\n";
    std::cout << "root's scan_realtime during the flood: " << hostile.realtimeMs.size()
              << " answers, " << latencyLine(hostile.realtimeMs) << ", " << hostile.realtimeWrong
              << " wrong or missing\n";
    std::cout << "the flood's scans gone from list_scans "
              << (hostile.goneSeconds < 0 ? std::string("never (60 s)")
                                          : std::to_string(hostile.goneSeconds) + " s")
              << " after the hang-up\n";
  }
  if (!hostile.problem.empty()) std::cout << "  hostile clients: " << hostile.problem << "\n";
  {
    std::vector<double> status = total.latencies[Kind::Status];
    std::sort(status.begin(), status.end());
    std::cout << std::setprecision(2) << "summary " << settings.mix << ": status p50 "
              << percentile(status, 0.50) << " ms, p99 " << percentile(status, 0.99)
              << " ms; wrong or missing " << (total.wrong + total.missing + wrongCounters);
    if (settings.mix == "scan-flood") {
      std::vector<double> realtime = hostile.realtimeMs;
      std::sort(realtime.begin(), realtime.end());
      std::cout << "; root scan_realtime p50 " << percentile(realtime, 0.50) << " ms, p99 "
                << percentile(realtime, 0.99) << " ms, max "
                << (realtime.empty() ? 0.0 : realtime.back()) << " ms; scans gone "
                << hostile.goneSeconds << " s after the hang-up";
    }
    std::cout << "\n";
  }
  for (const std::string& failure : total.failures) std::cerr << "  failure: " << failure << "\n";

  const bool flooded = settings.mix == "scan-flood";
  const bool sound = bad == 0 && total.refused == 0 && idle.connectFailures == 0 && answered > 0 &&
                     hostile.problem.empty() &&
                     (!flooded || (hostile.realtimeWrong == 0 && !hostile.realtimeMs.empty() &&
                                   hostile.goneSeconds >= 0));
  return sound ? 0 : 1;
}

int usage() {
  std::cerr << "usage: load_client generate DIR COUNT\n"
               "       load_client seed DATA_DIR COUNT\n"
               "       load_client run SOCKET DIR [--clients N] [--idle N] [--seconds S]"
               " [--max-requests N]"
               " [--mix baseline|idle-flood|slow-readers|sparse-quarantine|scan-flood]"
               " [--quarantined N] [--hostile-dir DIR] [--flood N] [--slow N] [--sparse-mib N]"
               " [--scan-flood N] [--flood-dir DIR]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 3 && args[0] == "generate") return generate(args[1], std::stoi(args[2]));
    if (args.size() == 3 && args[0] == "seed") return seed(args[1], std::stoi(args[2]));
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
      } else if (option == "--mix") {
        settings.mix = value;
        if (value != "baseline" && value != "idle-flood" && value != "slow-readers" &&
            value != "sparse-quarantine" && value != "scan-flood") {
          return usage();
        }
        // Each sparse quarantine holds one record until its deletion.
        settings.quarantine.slack = value == "sparse-quarantine" ? 1 : 0;
      } else if (option == "--quarantined") {
        settings.quarantine.floor = std::stoll(value);
      } else if (option == "--hostile-dir") {
        settings.hostileDir = value;
      } else if (option == "--flood") {
        settings.flood = std::max(0, std::stoi(value));
      } else if (option == "--slow") {
        settings.slowReaders = std::max(0, std::stoi(value));
      } else if (option == "--sparse-mib") {
        settings.sparseMiB = std::stoull(value);
      } else if (option == "--scan-flood") {
        settings.scanFlood = std::max(1, std::stoi(value));
      } else if (option == "--flood-dir") {
        settings.floodDir = value;
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
