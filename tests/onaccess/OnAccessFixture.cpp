#include "tests/onaccess/OnAccessFixture.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/FileAccessMonitor.hpp"
#include "platform/SocketClient.hpp"

extern char** environ;

namespace norvid::testing {
namespace fs = std::filesystem;

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& environment,
                                     const std::string& outputPrefix)
    : outputPath_(outputPrefix + ".out"), errorPath_(outputPrefix + ".err") {
  std::vector<std::string> argv = arguments;
  std::vector<std::string> envp = environment;
  for (char** variable = environ; *variable != nullptr; ++variable) envp.emplace_back(*variable);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errorPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  // A process group of its own, so that the process and whatever it starts (the watcher under
  // `timeout`) can be killed together.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0].c_str(), &actions, &attributes, pointers(argv).data(),
                   pointers(envp).data()) == 0) {
    pid_ = pid;
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ < 0) return;
  // The whole group: killing only `timeout` would leave the watcher it runs behind, for good.
  // The group's id stays taken while any member lives, so this never reaches another process.
  ::kill(-pid_, SIGKILL);
  if (running()) waitForExit(std::chrono::seconds(30));
}

bool BackgroundProcess::running() {
  if (pid_ < 0 || status_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = status;
    return false;
  }
  return true;
}

void BackgroundProcess::signal(int number) {
  if (running()) ::kill(pid_, number);
}

std::optional<int> BackgroundProcess::waitForExit(std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!status_) return std::nullopt;
  return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : 128 + WTERMSIG(*status_);
}

std::string BackgroundProcess::output() const { return readFile(outputPath_); }
std::string BackgroundProcess::errors() const { return readFile(errorPath_); }

void OnAccessFixture::SetUp() {
  if (::geteuid() != 0) GTEST_SKIP() << "the on-access watcher needs root (fanotify, tmpfs)";
  const char* binaryDir = std::getenv("NORVID_TEST_BINARY_DIR");
  if (binaryDir == nullptr || !fs::exists(fs::path(binaryDir) / "norvid-onaccess") ||
      !fs::exists(fs::path(binaryDir) / "norvid-core")) {
    GTEST_SKIP() << "needs the built norvid-core and norvid-onaccess (NORVID_TEST_BINARY_DIR)";
  }
  binaryDir_ = binaryDir;
  root_ = std::make_unique<TempDir>();
  // A private copy of the service, so that its rules and event log are this test's own.
  fs::create_directories(root_->path() / "core");
  fs::create_directories(root_->path() / "data");
  fs::create_directories(root_->path() / "tmp");
  fs::copy_file(fs::path(binaryDir_) / "norvid-core", root_->path() / "core/norvid-core");
  fs::copy(fs::path(NORVID_SOURCE_DIR) / "rules", root_->path() / "core/rules",
           fs::copy_options::recursive);

  watched_ = (root_->path() / "watched").string();
  fs::create_directories(watched_);
  if (::mount("tmpfs", watched_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=16m,mode=0755") !=
      0) {
    GTEST_SKIP() << "cannot mount a tmpfs for the watched directory: " << std::strerror(errno);
  }
  mounted_ = true;
  platform::Result<platform::FileAccessMonitor> probe = platform::FileAccessMonitor::open(true);
  if (!probe) GTEST_SKIP() << "the kernel refuses fanotify here: " << probe.message();
  if (platform::Result<int> marked = probe->watchTree(watched_); !marked) {
    GTEST_SKIP() << "the kernel refuses fanotify here: " << marked.message();
  }
  if (platform::Result<int> names = probe->watchNames(watched_); !names) {
    namesRefused_ = names.message();
  }
}

bool OnAccessFixture::overflowKernelQueue(const std::function<void()>& meanwhile) {
  if (!watcher_) return false;
  // The watcher runs under `timeout`; the process to pause is its child.
  const std::string children = readFile("/proc/" + std::to_string(watcher_->pid()) + "/task/" +
                                        std::to_string(watcher_->pid()) + "/children");
  const int watcherPid = std::atoi(children.c_str());
  if (watcherPid <= 0 || ::kill(watcherPid, SIGSTOP) != 0) return false;
  fs::create_directories(watched_ + "/many");
  for (int i = 0; i < 17000; ++i) {
    const std::string path = watched_ + "/many/" + std::to_string(i);
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor >= 0) ::close(descriptor);
  }
  fs::remove_all(watched_ + "/many");
  if (meanwhile) meanwhile();
  return ::kill(watcherPid, SIGCONT) == 0;
}

void OnAccessFixture::TearDown() {
  watcher_.reset();
  service_.reset();
  if (mounted_) ::umount2(watched_.c_str(), MNT_DETACH);
  root_.reset();
}

bool OnAccessFixture::startService() {
  service_ = std::make_unique<BackgroundProcess>(
      std::vector<std::string>{(root_->path() / "core/norvid-core").string(), "run"},
      std::vector<std::string>{"NORVID_SOCKET=" + socketPath(),
                               "NORVID_DATA_DIR=" + root_->str() + "/data",
                               "TMPDIR=" + root_->str() + "/tmp"},
      root_->str() + "/service");
  return eventually([this] {
    return service_->running() &&
           ask(R"({"command":"status"})").find("\"ok\"") != std::string::npos;
  });
}

void OnAccessFixture::stopService() {
  if (!service_) return;
  service_->signal(SIGTERM);
  service_->waitForExit(std::chrono::seconds(30));
}

bool OnAccessFixture::startWatcher(const std::vector<std::string>& flags) {
  // Under a hard time limit: should a test hang, killing the watcher releases every start it holds.
  std::vector<std::string> arguments{
      "timeout", "-s", "KILL", "120", binaryDir_ + "/norvid-onaccess", "--watch", watched_};
  arguments.insert(arguments.end(), flags.begin(), flags.end());
  watcher_ = std::make_unique<BackgroundProcess>(
      arguments, std::vector<std::string>{"NORVID_SOCKET=" + socketPath()},
      root_->str() + "/watcher");
  return eventually([this] {
           return !watcher_->running() ||
                  watcher_->output().find("[OK] Protección en tiempo real activa") !=
                      std::string::npos;
         }) &&
         watcher_->running();
}

bool OnAccessFixture::watcherSaid(const std::string& line) {
  return eventually([&] {
    return watcher_->output().find(line) != std::string::npos ||
           watcher_->errors().find(line) != std::string::npos;
  });
}

std::string OnAccessFixture::ask(const std::string& request) const {
  return platform::sendRequest(socketPath(), request).value_or("");
}

long long OnAccessFixture::totalScans() const {
  nlohmann::json status = nlohmann::json::parse(ask(R"({"command":"status"})"), nullptr, false);
  if (!status.is_object() || !status.contains("total_scans")) return -1;
  return status["total_scans"].get<long long>();
}

bool OnAccessFixture::eventually(const std::function<bool()>& condition,
                                 std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void OnAccessFixture::writeFile(const std::string& path, const std::string& content,
                                unsigned mode) {
  int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  ASSERT_GE(descriptor, 0) << path << ": " << std::strerror(errno);
  ASSERT_EQ(::write(descriptor, content.data(), content.size()),
            static_cast<ssize_t>(content.size()));
  ::fchmod(descriptor, mode);
  ::close(descriptor);
}

RunOutcome OnAccessFixture::runProgram(const std::string& path, std::chrono::seconds limit) {
  // A forked child reports a failed start through its exit code; the errno values met here are
  // all below the scripts' own exit code 42.
  pid_t pid = ::fork();
  if (pid == 0) {
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    char* envp[] = {nullptr};
    ::execve(path.c_str(), argv, envp);
    ::_exit(errno);
  }
  RunOutcome outcome;
  if (pid < 0) {
    outcome.startError = errno;
    return outcome;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      outcome.startError = ETIMEDOUT;
      return outcome;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == 42) {
    outcome.exitCode = code;
  } else {
    outcome.startError = code;
  }
  return outcome;
}

const std::string& OnAccessFixture::eicar() {
  static const std::string text =
      "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
  return text;
}

}  // namespace norvid::testing
