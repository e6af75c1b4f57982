#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/onaccess/OnAccessFixture.hpp"

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

  EXPECT_EQ(runProgram(infected).startError, EPERM);
  EXPECT_TRUE(eventually([&] { return !fs::exists(infected); }));

  // Written and made executable in place: denied whether the start comes before or after the
  // scan of the write has quarantined it (then the path is gone).
  const std::string written = watched() + "/bin/written";
  writeFile(written, eicar(), 0644);
  fs::permissions(written, fs::perms::owner_all, fs::perm_options::add);
  const int error = runProgram(written).startError;
  EXPECT_TRUE(error == EPERM || error == ENOENT) << error;
  EXPECT_TRUE(watcherSaid("[WARN] Ejecución bloqueada: " + infected)) << watcher()->errors();
}

// A stand-in for a service that hangs: it accepts and reads requests, answers the status probe
// and never answers a scan. It runs in a child process, so it has a process id of its own.
class HangingService {
 public:
  explicit HangingService(const std::string& path) : log_(path + ".requests") {
    int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ::unlink(path.c_str());
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 64) != 0) {
      ::close(listener);
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      std::vector<int> held;
      for (;;) {
        int client = ::accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        char request[4097];
        ssize_t length = ::recv(client, request, sizeof request, 0);
        if (length > 0 && std::string(request, length).find("\"status\"") != std::string::npos) {
          const char answer[] = R"({"status":"ok"})";
          ::send(client, answer, sizeof answer - 1, MSG_NOSIGNAL);
          ::close(client);
        } else {
          held.push_back(client);
          std::FILE* log = std::fopen(log_.c_str(), "a");
          if (log != nullptr) {
            std::fputs("scan\n", log);
            std::fclose(log);
          }
        }
      }
    }
    ::close(listener);
  }
  ~HangingService() { stop(); }
  HangingService(const HangingService&) = delete;
  HangingService& operator=(const HangingService&) = delete;

  bool listening() const { return pid_ > 0; }
  // True once a scan request has come in (and is being held).
  bool holdsAScan() const { return !readFile(log_).empty(); }
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
  HangingService hanging(socketPath());
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
  HangingService hanging(socketPath());
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
  HangingService hanging(socketPath());
  ASSERT_TRUE(hanging.listening());
  ASSERT_TRUE(startBlockingWatcher("600"));
  const std::string clean = placeProgram("clean.sh", kCleanScript);

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
  // The watcher runs under `timeout`; the process to pause is its child.
  const int watcherPid = watcherProcessId();
  ASSERT_GT(watcherPid, 0);

  // While the watcher reads nothing, more closes than the kernel queues (16384). The files are
  // gone before it reads again, so the queued events cost no scans.
  ASSERT_EQ(::kill(watcherPid, SIGSTOP), 0);
  fs::create_directories(watched() + "/many");
  for (int i = 0; i < 17000; ++i) {
    const std::string path = watched() + "/many/" + std::to_string(i);
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(descriptor, 0);
    ::close(descriptor);
  }
  fs::remove_all(watched() + "/many");
  ASSERT_EQ(::kill(watcherPid, SIGCONT), 0);

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
