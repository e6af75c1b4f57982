// The real norvid-core program, started as systemd would start it: readiness and stop reports,
// exit codes, start-up failures, socket activation, and a smoke run with exactly the unit's
// capabilities. systemd itself cannot run here, so its two ends are stood in for: the
// notification socket is a datagram socket of the test, and socket activation goes through
// systemd-socket-activate.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/SocketClient.hpp"
#include "service/ServiceUnitFiles.hpp"
#include "tests/service/ServiceProcess.hpp"
#include "tests/support/FakeSysfsTree.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using testing::ServiceProcess;
using testing::TempDir;
using Json = nlohmann::json;

// The receiving end of sd_notify: a datagram socket the service finds through NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~NotifySocket() { ::close(fd_); }

  std::string variable() const { return "NOTIFY_SOCKET=" + path_; }

  // The next message, or empty when none comes within `timeout`.
  std::string next(std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
    pollfd polled{fd_, POLLIN, 0};
    if (::poll(&polled, 1, static_cast<int>(timeout.count())) <= 0) return std::string();
    char buffer[4096];
    ssize_t length = ::recv(fd_, buffer, sizeof buffer, 0);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
  }

 private:
  std::string path_;
  int fd_ = -1;
};

Json ask(const std::string& socket, const Json& request) {
  auto response = platform::sendRequest(socket, request.dump());
  if (!response || response->empty()) return Json{{"unreachable", response.message()}};
  return Json::parse(*response);
}

// A service home: exeDir with the program and a rule, a data directory and a socket path.
struct ServiceHome {
  TempDir root;
  std::string exeDir = root.str() + "/exe";
  std::string program = testing::copyServiceProgram(exeDir);
  std::string dataDir = root.str() + "/data";
  std::string socket = root.str() + "/norvid.sock";

  ServiceHome() {
    root.write("exe/rules/smoke.yar",
               "rule Smoke_Marker { strings: $a = \"NORVID-SMOKE-MARKER\" condition: $a }\n");
    fs::create_directories(dataDir);
  }

  std::vector<std::string> environment() const {
    return {"NORVID_DATA_DIR=" + dataDir, "NORVID_SOCKET=" + socket};
  }
};

TEST(ServiceProcessTest, ReportsReadyOnlyOnceItsSocketListensAndStoppingOnStop) {
  ServiceHome home;
  NotifySocket notify(home.root.str() + "/notify");
  std::vector<std::string> environment = home.environment();
  environment.push_back(notify.variable());
  ServiceProcess service({home.program}, environment, home.root.str() + "/out");

  ASSERT_EQ(notify.next(), "READY=1") << service.output();
  // No waiting here: READY=1 promises that the socket already answers.
  Json status = ask(home.socket, {{"command", "status"}});
  EXPECT_EQ(status.value("status", ""), "ok") << status.dump();
  EXPECT_EQ(status.value("engine_ready", false), true);

  service.signal(SIGTERM);
  EXPECT_EQ(notify.next(), "STOPPING=1");
  EXPECT_EQ(service.wait(), 0) << service.output();
  EXPECT_FALSE(fs::exists(home.socket));
}

TEST(ServiceProcessTest, ExitsWithOneUnderTheServiceManagerWhenTheSocketCannotBeCreated) {
  ServiceHome home;
  NotifySocket notify(home.root.str() + "/notify");
  std::vector<std::string> environment = {"NORVID_DATA_DIR=" + home.dataDir,
                                          "NORVID_SOCKET=" + home.root.str() + "/none/x.sock",
                                          notify.variable()};
  ServiceProcess service({home.program}, environment, home.root.str() + "/out");
  EXPECT_EQ(service.wait(), 1) << service.output();
  EXPECT_NE(service.output().find("Código: 2"), std::string::npos) << service.output();
  EXPECT_EQ(notify.next(std::chrono::milliseconds(0)), "");
}

TEST(ServiceProcessTest, StartUpFailuresAreErrorLinesAndTheServiceStillServes) {
  struct Case {
    const char* name;
    std::function<void(ServiceHome&)> breakHome;
    const char* errorLine;
    bool engineReady;
  };
  const std::vector<Case> cases = {
      {"logs path is a file",
       [](ServiceHome& home) { home.root.write("exe/logs", "not a directory"); },
       "[ERROR] No se pudo crear el directorio de logs", true},
      {"rules path is a symlink loop",
       [](ServiceHome& home) {
         fs::remove_all(home.exeDir + "/rules");
         fs::create_symlink(home.root.str() + "/loop-b", home.root.str() + "/loop-a");
         fs::create_symlink(home.root.str() + "/loop-a", home.root.str() + "/loop-b");
         fs::create_symlink(home.root.str() + "/loop-a", home.exeDir + "/rules");
       },
       "[ERROR] No se pudo leer el directorio de reglas", false},
  };
  for (const Case& c : cases) {
    ServiceHome home;
    c.breakHome(home);
    ServiceProcess service({home.program, "run"}, home.environment(), home.root.str() + "/out");
    ASSERT_TRUE(testing::waitForSocket(home.socket)) << c.name << "\n" << service.output();
    EXPECT_EQ(ask(home.socket, {{"command", "status"}}).value("engine_ready", !c.engineReady),
              c.engineReady)
        << c.name;
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(), 0) << c.name << "\n" << service.output();
    EXPECT_NE(service.output().find(c.errorLine), std::string::npos) << c.name;
  }
}

TEST(ServiceProcessTest, ServesTheSocketPassedBySocketActivationAndLeavesItsFile) {
  const char* activator = "/usr/bin/systemd-socket-activate";
  if (!fs::exists(activator)) GTEST_SKIP() << "systemd-socket-activate is not installed";
  ServiceHome home;
  const std::string passed = home.root.str() + "/activated.sock";
  // NORVID_SOCKET names another path: the service must not create a socket of its own.
  ServiceProcess service({activator, "--seqpacket", "-l", passed, home.program, "run"},
                         home.environment(), home.root.str() + "/out");
  // The activator starts the service at the first connection, and that connection is served.
  ASSERT_TRUE(testing::waitForSocket(passed)) << service.output();
  EXPECT_EQ(ask(passed, {{"command", "status"}}).value("status", ""), "ok");
  EXPECT_FALSE(fs::exists(home.socket));

  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0) << service.output();
  struct stat info {};
  ASSERT_EQ(::lstat(passed.c_str(), &info), 0) << "the passed socket's file was removed";
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
}

// "CAP_CHOWN CAP_SETUID" -> "-all,+chown,+setuid", the form setpriv takes.
std::string setprivCapabilities(const std::string& unitValue) {
  std::istringstream words(unitValue);
  std::string list = "-all";
  for (std::string word; words >> word;) {
    std::string name = word.substr(word.rfind("CAP_", 0) == 0 ? 4 : 0);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    list += ",+" + name;
  }
  return list;
}

// The bounding set of a running process, from /proc.
std::bitset<64> boundingSetOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("CapBnd:", 0) == 0)
      return std::bitset<64>(std::stoull(line.substr(7), nullptr, 16));
  }
  return {};
}

TEST(ServiceProcessTest, EveryKindOfWorkSucceedsWithOnlyTheUnitsCapabilities) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop capabilities from";
  if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "setpriv is not installed";
  ServiceHome home;
  testing::FakeSysfsTree sysfs;
  sysfs.buildStandardMachine();

  // A file only root may read, and a file of another user in a directory only root may change.
  const std::string secret = home.root.write("secret/only-root.txt", "x NORVID-SMOKE-MARKER x");
  ::chmod(secret.c_str(), 0600);
  ::chmod((home.root.str() + "/secret").c_str(), 0700);
  const std::string victim = home.root.write("owned/victim.bin", "payload");
  ASSERT_EQ(::chown(victim.c_str(), 65534, 65534), 0);
  ::chmod((home.root.str() + "/owned").c_str(), 0755);

  const std::string capabilities = ServiceUnitFiles::capabilityBoundingSet();
  ASSERT_FALSE(capabilities.empty());
  std::vector<std::string> environment = home.environment();
  environment.push_back("NORVID_SYSFS_ROOT=" + sysfs.root());
  environment.push_back("NORVID_MODPROBE_DIR=" + sysfs.modprobeDirectory());
  // As the unit runs it: the capability bounding set, no new privileges, UMask=0077.
  ServiceProcess service(
      {"/usr/bin/setpriv", "--bounding-set=" + setprivCapabilities(capabilities), "--inh-caps=-all",
       "--no-new-privs", "--", "/bin/sh", "-c", "umask 077; exec \"$0\" run", home.program},
      environment, home.root.str() + "/out");
  ASSERT_TRUE(testing::waitForSocket(home.socket)) << service.output();
  const std::size_t unitCapabilities =
      static_cast<std::size_t>(std::count(capabilities.begin(), capabilities.end(), ' ') + 1);
  EXPECT_EQ(boundingSetOf(service.pid()).count(), unitCapabilities);

  Json scan = ask(home.socket, {{"command", "scan"}, {"path", secret}});
  EXPECT_EQ(scan.value("result", ""), "INFECTED") << scan.dump();
  EXPECT_EQ(scan.value("threat_name", ""), "Smoke_Marker");

  Json quarantined =
      ask(home.socket, {{"command", "quarantine_file"}, {"path", victim}, {"threat_name", "T"}});
  ASSERT_EQ(quarantined.value("status", ""), "ok") << quarantined.dump();
  EXPECT_FALSE(fs::exists(victim));
  Json restored = ask(
      home.socket, {{"command", "restore_quarantine"}, {"id", quarantined.value("file_id", "")}});
  EXPECT_EQ(restored.value("status", ""), "ok") << restored.dump();
  struct stat info {};
  ASSERT_EQ(::stat(victim.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 65534u);
  EXPECT_EQ(info.st_gid, 65534u);
  EXPECT_EQ(testing::readFile(victim), "payload");

  const std::string drive = "USB\\VID_0781&PID_5567\\1-2";
  Json disabled = ask(home.socket, {{"command", "usb_disable_port"}, {"device_id", drive}});
  EXPECT_EQ(disabled.value("status", ""), "ok") << disabled.dump();
  EXPECT_EQ(sysfs.attribute("1-2", "authorized").substr(0, 1), "0");
  Json enabled = ask(home.socket, {{"command", "usb_enable_port"}, {"device_id", drive}});
  EXPECT_EQ(enabled.value("status", ""), "ok") << enabled.dump();
  EXPECT_EQ(sysfs.attribute("1-2", "authorized").substr(0, 1), "1");

  const std::string policy = sysfs.modprobeDirectory() + "/norvid-usb-storage.conf";
  EXPECT_EQ(ask(home.socket, {{"command", "usb_disable"}}).value("status", ""), "ok");
  EXPECT_TRUE(fs::exists(policy));
  EXPECT_EQ(ask(home.socket, {{"command", "usb_enable"}}).value("status", ""), "ok");
  EXPECT_FALSE(fs::exists(policy));

  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0) << service.output();
}

}  // namespace
}  // namespace norvid
