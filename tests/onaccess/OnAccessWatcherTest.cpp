#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/ClientConnection.hpp"
#include "tests/onaccess/OnAccessFixture.hpp"
#include "tests/support/PassedDescriptor.hpp"

namespace norvid::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

constexpr unsigned kExecutable = 0755;
const std::string kCleanScript = "#!/bin/sh\nexit 42\n";

class OnAccessWatcherTest : public OnAccessFixture {
 protected:
  // Puts an executable file under `watched()/bin` without a close after writing there: it is
  // written in the excluded staging directory and renamed into place. Placed before the watcher
  // starts, the first the watcher hears of it is the program start.
  std::string placeProgram(const std::string& name, const std::string& content) {
    fs::create_directories(watched() + "/staging");
    fs::create_directories(watched() + "/bin");
    const std::string staged = watched() + "/staging/" + name;
    writeFile(staged, content, kExecutable);
    const std::string target = watched() + "/bin/" + name;
    fs::rename(staged, target);
    return target;
  }
  // Starts the watcher holding program starts for at most `verdictTimeout` seconds.
  bool startBlockingWatcher(const std::string& verdictTimeout) {
    return startWatcher(
        {"--exclude", watched() + "/staging", "--block-exec", "--verdict-timeout", verdictTimeout});
  }
};

TEST_F(OnAccessWatcherTest, AnInfectedFileIsQuarantinedAndTheCleanOneBesideItStays) {
  ASSERT_TRUE(startService());
  ASSERT_TRUE(startWatcher({"--exclude", watched() + "/skip"}));
  fs::create_directories(watched() + "/skip/deep");
  writeFile(watched() + "/skip/deep/eicar.com", eicar(), 0644);
  const long long before = totalScans();
  writeFile(watched() + "/clean.txt", "nothing to see here\n", 0644);
  writeFile(watched() + "/eicar.com", eicar(), 0644);
  // A name shaped like the kernel's mark of an unlinked file is still a file to scan.
  writeFile(watched() + "/disguised (deleted)", eicar(), 0644);

  EXPECT_TRUE(eventually([&] { return !fs::exists(watched() + "/eicar.com"); }))
      << watcher()->errors();
  EXPECT_TRUE(eventually([&] { return !fs::exists(watched() + "/disguised (deleted)"); }));
  EXPECT_TRUE(eventually([&] { return totalScans() >= before + 3; }));
  EXPECT_TRUE(fs::exists(watched() + "/clean.txt"));
  EXPECT_TRUE(fs::exists(watched() + "/skip/deep/eicar.com"));
  EXPECT_NE(ask(R"({"command":"list_quarantine"})").find(watched() + "/eicar.com"),
            std::string::npos);
  // The service records the detection in its own event log.
  std::string eventLog;
  for (const auto& entry : fs::directory_iterator(root_->path() / "core/logs")) {
    eventLog += readFile(entry.path());
  }
  EXPECT_NE(eventLog.find("[WRN] Amenaza en tiempo real: " + watched() +
                          "/eicar.com | EICAR_Test_File [CUARENTENA]"),
            std::string::npos)
      << eventLog;
  EXPECT_TRUE(watcherSaid("[WARN] Amenaza detectada: " + watched() +
                          "/eicar.com | EICAR_Test_File [CUARENTENA]"))
      << watcher()->errors();
}

TEST_F(OnAccessWatcherTest, BlockExecDeniesAnInfectedProgramAndRunsACleanOne) {
  ASSERT_TRUE(startService());
  // Placed before the watcher starts, so the first it hears of them is the program start (a
  // rename into a watched directory is scanned by itself).
  const std::string clean = placeProgram("clean.sh", kCleanScript);
  const std::string infected = placeProgram("infected", eicar());
  // A generous wait for verdicts: on a loaded machine a start must not be let through unjudged.
  ASSERT_TRUE(startBlockingWatcher("30"));

  RunOutcome ran = runProgram(clean);
  EXPECT_EQ(ran.startError, 0);
  EXPECT_EQ(ran.exitCode, 42);
  // Known clean now: started again without waiting for a scan, and still runs.
  EXPECT_EQ(runProgram(clean).exitCode, 42);

  // Subscribers of the service hear that the start was blocked, not only the journal.
  auto events = platform::ClientConnection::connectTo(socketPath());
  ASSERT_TRUE(events.ok());
  ASSERT_TRUE(events->sendMessage(R"({"command":"subscribe_events"})").ok());
  auto subscribed = events->receiveMessage(std::chrono::milliseconds(30000));
  ASSERT_TRUE(subscribed.ok() && subscribed->has_value());

  EXPECT_EQ(runProgram(infected).startError, EPERM);
  EXPECT_TRUE(eventually([&] { return !fs::exists(infected); }));
  std::vector<std::string> heard;
  for (int i = 0; i < 20; ++i) {
    auto message = events->receiveMessage(std::chrono::milliseconds(30000));
    if (!message.ok() || !message->has_value()) break;
    const auto event = nlohmann::json::parse(**message, nullptr, false);
    heard.push_back(event.value("event", "") + " " + event.value("path", ""));
    if (heard.back() == "program_blocked " + infected) break;
  }
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.back(), "program_blocked " + infected);

  // Written and made executable in place: denied whether the start comes before or after the
  // scan of the write has quarantined it (then the path is gone).
  const std::string written = watched() + "/bin/written";
  writeFile(written, eicar(), 0644);
  fs::permissions(written, fs::perms::owner_all, fs::perm_options::add);
  const int error = runProgram(written).startError;
  EXPECT_TRUE(error == EPERM || error == ENOENT) << error;
  EXPECT_TRUE(watcherSaid("[WARN] Ejecución bloqueada: " + infected)) << watcher()->errors();
}

// A stand-in for the service, in a child process so it has a process id of its own. It answers
// the status probe and either never answers a scan (holding the request), or answers each after
// a pause by reading the file itself, without any cache: "threat" when it starts with a given
// text, else "clean". It reads the descriptor sent with the request, or else opens the path.
class StandInService {
 public:
  enum class Scans { Hang, ReadAfterAPause };

  // `threatText`: what a file starts with when the stand-in calls it a threat.
  StandInService(const std::string& path, Scans scans, const std::string& threatText = {})
      : log_(path + ".requests") {
    ::unlink(path.c_str());
    // The child listens itself: the watcher learns the service's process id from the listening
    // socket, and the test's own writes must not pass for the service's.
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      path.copy(address.sun_path, sizeof address.sun_path - 1);
      if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
          ::listen(listener, 64) != 0) {
        ::_exit(1);
      }
      std::vector<int> held;
      for (;;) {
        int client = ::accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        const ReceivedMessage request = receiveWithDescriptor(client);
        const std::string& text = request.text;
        int passed = request.descriptor;
        if (text.find("\"status\"") != std::string::npos) {
          const char answer[] = R"({"status":"ok"})";
          ::send(client, answer, sizeof answer - 1, MSG_NOSIGNAL);
          ::close(client);
          continue;
        }
        std::FILE* log = std::fopen(log_.c_str(), "a");
        if (log != nullptr) {
          std::fputs("scan\n", log);
          std::fclose(log);
        }
        if (scans == Scans::Hang) {
          held.push_back(client);
          continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto body = nlohmann::json::parse(text, nullptr, false);
        if (passed < 0 && body.is_object() && body.contains("path")) {
          passed = ::open(body["path"].get<std::string>().c_str(), O_RDONLY | O_CLOEXEC);
        }
        std::string head(threatText.size(), '\0');
        const bool infected = passed >= 0 && !head.empty() &&
                              ::pread(passed, head.data(), head.size(), 0) > 0 &&
                              head == threatText;
        const std::string answer =
            infected
                ? R"({"command":"scan_realtime","quarantined":false,"status":"threat","threat":"EICAR_Test_File"})"
                : R"({"command":"scan_realtime","quarantined":false,"status":"clean","threat":null})";
        ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
        if (passed >= 0) ::close(passed);
        ::close(client);
      }
    }
    for (int wait = 0; wait < 500 && !fs::exists(path) && alive(); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~StandInService() { stop(); }
  StandInService(const StandInService&) = delete;
  StandInService& operator=(const StandInService&) = delete;

  bool listening() { return alive(); }
  // Scan requests that came in so far.
  std::size_t scansAsked() const {
    const std::string log = readFile(log_);
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
  }
  // True once a scan request has come in (and is being held).
  bool holdsAScan() const { return scansAsked() > 0; }
  bool alive() {
    if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) != 0) pid_ = -1;
    return pid_ > 0;
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
};

TEST_F(OnAccessWatcherTest, WithoutAVerdictAStartIsAllowedAndTheWatcherCatchesUpLater) {
  StandInService hanging(socketPath(), StandInService::Scans::Hang);
  ASSERT_TRUE(hanging.listening());
  ASSERT_TRUE(startBlockingWatcher("1"));

  const std::string clean = placeProgram("clean.sh", kCleanScript);
  EXPECT_EQ(runProgram(clean).exitCode, 42);
  EXPECT_TRUE(watcherSaid("[WARN] Sin veredicto en 1 s: se permite la ejecución de " + clean))
      << watcher()->errors();

  // No service at all: allowed at once, and the watcher goes on.
  hanging.stop();
  EXPECT_EQ(runProgram(clean).exitCode, 42);
  EXPECT_TRUE(watcher()->running());

  // The service comes back: the watcher reconnects and catches the next infected file.
  ASSERT_TRUE(startService());
  EXPECT_TRUE(eventually([&] {
    return watcher()->output().find("[OK] Conectado al servicio") != std::string::npos &&
           watcher()->output().find("(pid " + std::to_string(service()->pid()) + ")") !=
               std::string::npos;
  })) << watcher()->output();
  writeFile(watched() + "/later.com", eicar(), 0644);
  EXPECT_TRUE(eventually([&] { return !fs::exists(watched() + "/later.com"); }))
      << watcher()->errors();
}

TEST_F(OnAccessWatcherTest, AStartAllowedWithoutAVerdictIsNamedCountedAndScannedLater) {
  const std::string infected = placeProgram("infected", eicar());
  StandInService hanging(socketPath(), StandInService::Scans::Hang);
  ASSERT_TRUE(hanging.listening());
  ASSERT_TRUE(startBlockingWatcher("1"));

  // The service takes the request and never answers: the start goes ahead after the timeout...
  EXPECT_EQ(runProgram(infected).startError, ENOEXEC);
  EXPECT_TRUE(watcherSaid("[WARN] Sin veredicto en 1 s: se permite la ejecución de " + infected))
      << watcher()->errors();
  // ...but the scan stays pending: once a service answers, the file is scanned and quarantined
  // without anything else happening to it.
  hanging.stop();
  ASSERT_TRUE(startService());
  EXPECT_TRUE(eventually([&] { return !fs::exists(infected); }, seconds(30)))
      << watcher()->output() << watcher()->errors();
  watcher()->signal(SIGTERM);
  ASSERT_TRUE(watcher()->waitForExit(seconds(30)).has_value());
  EXPECT_NE(watcher()->output().find("1 permitida(s) sin veredicto"), std::string::npos)
      << watcher()->output();
}

// A program judged clean while a shared, writable mapping of it was alive, then changed through
// that mapping: a write to a page already dirty changes no time, so the file looks like the
// version judged clean. The watcher must not start it on the strength of that verdict.
TEST_F(OnAccessWatcherTest, AProgramChangedThroughASharedMappingIsJudgedAgain) {
  StandInService reading(socketPath(), StandInService::Scans::ReadAfterAPause, eicar());
  ASSERT_TRUE(reading.listening());
  const std::string program = watched() + "/mapped";
  std::string clean = "#!/bin/sh\nexit 42\n";
  clean.resize(eicar().size(), '#');
  writeFile(program, clean, kExecutable);
  ASSERT_TRUE(startBlockingWatcher("30"));

  const int descriptor = ::open(program.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(descriptor, 0);
  auto* mapped = static_cast<char*>(
      ::mmap(nullptr, clean.size(), PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0));
  ASSERT_NE(mapped, MAP_FAILED);
  ::close(descriptor);
  mapped[0] = '#';  // the page is dirty and writable from now on
  // Settled beyond any time granularity, then judged clean after a close after writing.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  ::close(::open(program.c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(eventually([&] { return reading.scansAsked() >= 1; }))
      << watcher()->output() << watcher()->errors();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));

  std::memcpy(mapped, eicar().data(), eicar().size());
  ::munmap(mapped, clean.size());
  EXPECT_EQ(runProgram(program).startError, EPERM) << watcher()->errors();
}

TEST_F(OnAccessWatcherTest, AFileRewrittenInABurstIsScannedAHandfulOfTimes) {
  ASSERT_TRUE(startService());
  ASSERT_TRUE(startWatcher({}));
  const long long before = totalScans();
  const std::string busy = watched() + "/busy.log";
  for (int i = 0; i < 500; ++i) writeFile(busy, "line " + std::to_string(i) + "\n", 0644);
  // A later infected file: once it is gone, the burst has been read as well.
  writeFile(watched() + "/after.com", eicar(), 0644);
  ASSERT_TRUE(eventually([&] { return !fs::exists(watched() + "/after.com"); }));
  watcher()->signal(SIGTERM);
  ASSERT_TRUE(watcher()->waitForExit(seconds(30)).has_value());

  const long long scans = totalScans() - before;
  EXPECT_GE(scans, 2);
  EXPECT_LE(scans, 10) << watcher()->output();
  EXPECT_NE(watcher()->output().find("[OK] Protección en tiempo real detenida"), std::string::npos);
}

TEST_F(OnAccessWatcherTest, StoppingLetsEveryHeldStartGo) {
  StandInService hanging(socketPath(), StandInService::Scans::Hang);
  ASSERT_TRUE(hanging.listening());
  // Placed first: the only scans asked for are those of the starts.
  const std::string clean = placeProgram("clean.sh", kCleanScript);
  ASSERT_TRUE(startBlockingWatcher("600"));

  // Several starts held at once, each waiting for a verdict that never comes.
  std::vector<std::thread> starts;
  std::vector<RunOutcome> outcomes(3);
  for (RunOutcome& outcome : outcomes) {
    starts.emplace_back([&outcome, &clean] { outcome = runProgram(clean, seconds(120)); });
  }
  EXPECT_TRUE(eventually([&] { return hanging.holdsAScan(); }));
  watcher()->signal(SIGTERM);
  EXPECT_EQ(watcher()->waitForExit(seconds(30)), 0);
  for (std::thread& start : starts) start.join();
  for (const RunOutcome& outcome : outcomes) EXPECT_EQ(outcome.exitCode, 42);
  EXPECT_NE(watcher()->output().find("[INFO] Ejecución pendiente permitida al detener: " + clean),
            std::string::npos)
      << watcher()->output();
}

TEST_F(OnAccessWatcherTest, AnOverflowOfTheKernelQueueIsReportedAndCounted) {
  ASSERT_TRUE(startService());
  ASSERT_TRUE(startWatcher({}));
  ASSERT_TRUE(overflowKernelQueue());

  EXPECT_TRUE(watcherSaid("[WARN] Desbordamiento de la cola de eventos del kernel"));
  // Still at work afterwards.
  writeFile(watched() + "/after.com", eicar(), 0644);
  EXPECT_TRUE(eventually([&] { return !fs::exists(watched() + "/after.com"); }));
  watcher()->signal(SIGTERM);
  ASSERT_TRUE(watcher()->waitForExit(seconds(30)).has_value());
  EXPECT_NE(watcher()->output().find("1 desbordamiento(s) de la cola del kernel"),
            std::string::npos)
      << watcher()->output();
}

}  // namespace
}  // namespace norvid::testing
