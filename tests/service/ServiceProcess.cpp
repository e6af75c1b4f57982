#include "tests/service/ServiceProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/SocketClient.hpp"
#include "tests/support/TempDir.hpp"

extern char** environ;

namespace norvid::testing {

ServiceProcess::ServiceProcess(const std::vector<std::string>& arguments,
                               const std::vector<std::string>& environment,
                               const std::string& outputPath)
    : outputPath_(outputPath) {
  // Everything the child needs is built before the fork.
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
  for (const std::string& added : environment) variables.push_back(added);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = arguments;
  std::vector<char*> argv;
  for (std::string& argument : args) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int output = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(output, STDOUT_FILENO);
    ::dup2(output, STDERR_FILENO);
    int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(output);
}

ServiceProcess::~ServiceProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

void ServiceProcess::signal(int number) const {
  if (pid_ > 0) ::kill(pid_, number);
}

std::optional<int> ServiceProcess::wait(std::chrono::seconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string ServiceProcess::output() const { return readFile(outputPath_); }

bool waitForSocket(const std::string& path, std::chrono::seconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (platform::sendRequest(path, R"({"command":"status"})")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string copyServiceProgram(const std::string& directory) {
  const char* build = std::getenv("NORVID_TEST_BINARY_DIR");
  std::filesystem::path source =
      std::filesystem::path(build != nullptr ? build : ".") / "norvid-core";
  std::filesystem::create_directories(directory);
  std::filesystem::path copy = std::filesystem::path(directory) / "norvid-core";
  std::filesystem::copy_file(source, copy, std::filesystem::copy_options::overwrite_existing);
  return copy.string();
}

}  // namespace norvid::testing
