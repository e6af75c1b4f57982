#include "logging/EventLogger.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "platform/LocalTime.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/ScopedTimeZone.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::system_clock;
using testing::FakeClock;
using testing::readFile;
using testing::ScopedTimeZone;
using testing::TempDir;

// 2025-03-07 14:05:09.042 UTC.
system_clock::time_point march7() {
  return system_clock::from_time_t(1741356309) + milliseconds(42);
}

class EventLoggerTest : public ::testing::Test {
 protected:
  ScopedTimeZone utc_{"UTC0"};
  TempDir dir_;
  FakeClock clock_{march7()};
  EventLogger logger_{clock_};

  std::string logDir() const { return (dir_.path() / "logs").string(); }
  std::string today() const { return readFile(logDir() + "/zr5k-core-2025-03-07.log"); }
};

TEST_F(EventLoggerTest, WritesStampedLinesToTheDailyFile) {
  logger_.initialize(logDir());
  logger_.logUsbEvent("disable", "Puertos USB deshabilitados por el usuario.");
  EXPECT_EQ(today(),
            "2025-03-07 14:05:09.042 +00:00 [INF] EventLogger inicializado en " + logDir() +
                "\n"
                "2025-03-07 14:05:09.042 +00:00 [WRN] USB Control [disable] | Puertos USB "
                "deshabilitados por el usuario.\n");
}

// The log names users' files: administrators may read it, other users may not. A client's text
// cannot end a line early or colour a terminal that shows the log.
TEST_F(EventLoggerTest, KeepsTheLogPrivateAndEachMessageOnItsOwnLine) {
  // "nogroup" (65534) exists on every Debian system; it stands in for the administrator group.
  logger_.initialize(logDir(), "nogroup");
  logger_.warning("Escaneo INFECTED: /home/u/a\n2025-03-07 [INF] forged\r\x1b[31m\x7f.txt");
  EXPECT_EQ(today().substr(today().find("[WRN]")),
            "[WRN] Escaneo INFECTED: /home/u/a?2025-03-07 [INF] forged??[31m?.txt\n");
  EXPECT_EQ(std::filesystem::status(logDir()).permissions(), std::filesystem::perms(0750));
  EXPECT_EQ(std::filesystem::status(logDir() + "/zr5k-core-2025-03-07.log").permissions(),
            std::filesystem::perms(0640));
  if (::geteuid() == 0) {
    for (const std::string& path : {logDir(), logDir() + "/zr5k-core-2025-03-07.log"}) {
      struct stat info {};
      ASSERT_EQ(::stat(path.c_str(), &info), 0) << path;
      EXPECT_EQ(info.st_gid, 65534u) << path;
    }
  }
}

TEST_F(EventLoggerTest, DropsLinesBeforeInitializeAndIgnoresASecondInitialize) {
  logger_.info("lost");
  EXPECT_FALSE(std::filesystem::exists(logDir()));
  logger_.initialize(logDir());
  logger_.initialize((dir_.path() / "other").string());
  EXPECT_EQ(logger_.logDirectory(), logDir());
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "other"));
  std::string content = today();
  EXPECT_EQ(content.find("lost"), std::string::npos);
  EXPECT_EQ(content.find("inicializado", content.find("inicializado") + 1), std::string::npos);
}

TEST_F(EventLoggerTest, InitializeFailsWhenTheDirectoryCannotBeMade) {
  std::string blocker = dir_.write("file", "x");
  EXPECT_THROW(logger_.initialize(blocker + "/logs"), std::filesystem::filesystem_error);
  logger_.initialize(logDir());  // still uninitialised, so a later call works
  EXPECT_EQ(logger_.logDirectory(), logDir());
}

TEST_F(EventLoggerTest, TypedWritersComposeTheirSentencesAndLevels) {
  logger_.initialize(logDir());
  logger_.logServiceEvent("Inicio", "NorvidCoreService iniciando...");
  logger_.logServiceEvent("Parada", "");
  logger_.logScanEvent("/a", "CLEAN", "", 0);
  logger_.logScanEvent("/b", "CLEAN", "", 1);
  logger_.logScanEvent("/c", "INFECTED", "Eicar", 2);
  logger_.logScanEvent("/d", "infected", "", 1);
  logger_.logRealtimeThreat("/e", "Eicar", true);
  logger_.logRealtimeThreat("/f", "Eicar", false);
  logger_.logRulesUpdated(12, "hot-reload");
  logger_.logAmsiEvent("x.ps1", true, "Evil");
  logger_.logAmsiEvent("y.ps1", false, "ignored");
  logger_.logUsbEvent("enable", "");
  logger_.logUsbEvent("block", "x");
  logger_.log(static_cast<LogLevel>(9), "odd level");
  logger_.warning("w");
  logger_.error("e");

  const char* expected[] = {
      "[INF] Servicio: Inicio | NorvidCoreService iniciando...",
      "[INF] Servicio: Parada",
      "[INF] Escaneo CLEAN: /a",
      "[INF] Escaneo CLEAN: /b",
      "[WRN] Escaneo INFECTED (2 archivos): /c | Amenaza: Eicar",
      "[INF] Escaneo infected: /d",
      "[WRN] Amenaza en tiempo real: /e | Eicar [CUARENTENA]",
      "[WRN] Amenaza en tiempo real: /f | Eicar [NO CUARENTENADO]",
      "[INF] Reglas actualizadas: 12 reglas desde hot-reload",
      "[WRN] AMSI: script malicioso bloqueado: x.ps1 | Evil",
      "[INF] AMSI: script limpio: y.ps1",
      "[INF] USB Control [enable]",
      "[WRN] USB Control [block] | x",
      "[INF] odd level",
      "[WRN] w",
      "[ERR] e",
  };
  std::istringstream lines(today());
  std::string line;
  std::getline(lines, line);  // the initialisation line
  for (const char* message : expected) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.substr(31), message);
  }
}

TEST_F(EventLoggerTest, MovesToANewFileAtMidnightAndPurgesOldLogs) {
  std::filesystem::create_directories(logDir());
  auto writeAged = [&](const std::string& name, system_clock::duration age) {
    std::string path = logDir() + "/" + name;
    dir_.write("logs/" + name, "old\n");
    auto instant = march7() + hours(10) - age;  // ages measured from the next day's first line
    std::filesystem::last_write_time(
        path, std::chrono::file_clock::from_sys(
                  std::chrono::time_point_cast<std::chrono::file_clock::duration>(instant)));
    return path;
  };
  logger_.initialize(logDir());
  std::string kept = writeAged("kept.log", hours(720) + minutes(59));
  std::string purged = writeAged("purged.log", hours(721));
  std::string upper = writeAged("upper.LOG", hours(2000));
  std::string text = writeAged("notes.txt", hours(2000));

  clock_.advance(hours(10));  // 2025-03-08 00:05
  logger_.info("first of the day");
  EXPECT_TRUE(std::filesystem::exists(kept));
  EXPECT_FALSE(std::filesystem::exists(purged));
  EXPECT_TRUE(std::filesystem::exists(upper));
  EXPECT_TRUE(std::filesystem::exists(text));
  EXPECT_EQ(today().find("first of the day"), std::string::npos);
  EXPECT_NE(readFile(logDir() + "/zr5k-core-2025-03-08.log").find("first of the day"),
            std::string::npos);
}

TEST(LocalTimeTest, StampsCarryTheZoneOffsetInForce) {
  const std::pair<const char*, const char*> zones[] = {
      {"IST-5:30", "2025-03-07 19:35:09.042 +05:30"},
      {"NST+3:30", "2025-03-07 10:35:09.042 -03:30"},
      {"UTC0", "2025-03-07 14:05:09.042 +00:00"},
  };
  for (const auto& [zone, stamp] : zones) {
    ScopedTimeZone scoped(zone);
    EXPECT_EQ(platform::logTimestamp(march7()), stamp) << zone;
  }
}

}  // namespace
}  // namespace norvid
