#include "ipc/ServiceConfiguration.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Paths.hpp"
#include "tests/ipc/CoreFixture.hpp"
#include "tests/support/ScopedEnvironment.hpp"

namespace norvid {
namespace {

using testing::ScopedEnvironment;

struct Variable {
  const char* name;
  const char* value;     // set in the environment
  const char* fallback;  // what an unset or empty variable leaves
  std::function<std::string(const ServiceConfiguration&)> read;
};

const Variable kVariables[] = {
    {"NORVID_DATA_DIR", "/srv/norvid-data", "/var/lib/zr5k",
     [](const ServiceConfiguration& c) { return c.dataDir; }},
    {"NORVID_SOCKET", "/srv/norvid.sock", "/run/NorvidCoreService.sock",
     [](const ServiceConfiguration& c) { return c.socketPath; }},
    {"NORVID_SYSFS_ROOT", "/srv/sys", "/sys",
     [](const ServiceConfiguration& c) { return c.sysfsRoot; }},
    {"NORVID_MODPROBE_DIR", "/srv/modprobe.d", "/etc/modprobe.d",
     [](const ServiceConfiguration& c) { return c.modprobeDir; }},
    {"NORVID_ADMIN_GROUP", "wheel", "norvid-admin",
     [](const ServiceConfiguration& c) { return c.administratorGroup; }},
    {"NORVID_ALLOW_DIR", "/srv/allow.d", "/etc/norvid/allow.d",
     [](const ServiceConfiguration& c) { return c.allowDir; }},
    {"NORVID_SCAN_THREADS", "8", "0",
     [](const ServiceConfiguration& c) { return std::to_string(c.scanThreads); }},
};

// Every variable is read once into its own member; an empty one counts as unset.
TEST(ServiceConfigurationTest, ReadsEachVariableOrItsDefault) {
  for (const char* value : {"set", ""}) {
    std::vector<std::unique_ptr<ScopedEnvironment>> environment;
    for (const Variable& variable : kVariables) {
      environment.push_back(
          std::make_unique<ScopedEnvironment>(variable.name, *value != '\0' ? variable.value : ""));
    }
    const ServiceConfiguration configuration = ServiceConfiguration::fromEnvironment();
    for (const Variable& variable : kVariables) {
      EXPECT_EQ(variable.read(configuration), *value != '\0' ? variable.value : variable.fallback)
          << variable.name;
    }
    EXPECT_EQ(configuration.exeDir, platform::executableDirectory());
    EXPECT_EQ(configuration.listeningSocket, -1);
  }
}

TEST(ServiceConfigurationTest, ScanThreadsTakeOnlyAWholeNumberFromOneTo1024) {
  const std::pair<const char*, std::size_t> cases[] = {
      {"1", 1}, {"1024", 1024}, {"1025", 0}, {"0", 0}, {"-2", 0}, {"4x", 0}, {"x", 0}, {" ", 0},
  };
  for (const auto& [text, threads] : cases) {
    ScopedEnvironment variable("NORVID_SCAN_THREADS", text);
    EXPECT_EQ(ServiceConfiguration::fromEnvironment().scanThreads, threads) << '"' << text << '"';
  }
}

// The components keep their files where the configuration says, under its data directory.
TEST(ServiceConfigurationTest, TheServiceKeepsItsFilesInTheConfiguredDataDirectory) {
  testing::CoreFixture fixture;
  fixture.writeRule("marker.yar", "rule M { strings: $a = \"NORVID\" condition: $a }\n");
  const std::string victim = fixture.root().write("files/victim.txt", "NORVID");
  const nlohmann::json requests[] = {
      {{"command", "add_exclusion"}, {"path", fixture.root().str() + "/excluded"}},
      {{"command", "add_schedule"}, {"frequency", "daily"}, {"hour", 3}, {"minute", 0},
       {"scan_type", "quick"}},
      {{"command", "quarantine_file"}, {"path", victim}, {"threat_name", "M"}},
  };
  for (const nlohmann::json& request : requests) {
    const nlohmann::json answer = fixture.sendJson(request);
    EXPECT_EQ(answer["status"], "ok") << answer.dump();
  }
  const std::filesystem::path data = fixture.paths().dataDir;
  for (const char* name : {"yara_load.log", "ipc_debug.log", "config/exclusions.json",
                           "config/scheduler.json", "Quarantine/metadata.json"}) {
    EXPECT_TRUE(std::filesystem::exists(data / name)) << name;
  }
}

// The configured administrator group is also the group the reports are shared with.
TEST(ServiceConfigurationTest, ReportsAreSharedWithTheConfiguredAdministratorGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files another group";
  // "nogroup" (65534) exists on every Debian system; it stands in for the administrator group.
  ScopedEnvironment group("NORVID_ADMIN_GROUP", "nogroup");
  testing::CoreFixture fixture;
  fixture.writeRule("marker.yar", "rule M { strings: $a = \"NORVID\" condition: $a }\n");
  const std::string target = fixture.root().write("files/clean.txt", "clean");
  const nlohmann::json answer = fixture.call({{"command", "generate_report"}, {"path", target}});
  ASSERT_EQ(answer["status"], "ok") << answer.dump();
  struct stat info {};
  ASSERT_EQ(::stat((fixture.root().path() / "exe/reports").c_str(), &info), 0);
  EXPECT_EQ(info.st_gid, 65534u);
}

}  // namespace
}  // namespace norvid
