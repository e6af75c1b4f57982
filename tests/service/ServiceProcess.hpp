#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace norvid::testing {

// A program started in the background for a test, with extra environment variables and its
// standard output and error in one file. The destructor kills and reaps it if it still runs.
class ServiceProcess {
 public:
  ServiceProcess(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment, const std::string& outputPath);
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int number) const;
  // The exit status, 128 + the signal for a killed process, or nullopt when it still runs after
  // `timeout`.
  std::optional<int> wait(std::chrono::seconds timeout = std::chrono::seconds(120));
  std::string output() const;

 private:
  pid_t pid_ = -1;
  std::string outputPath_;
};

// True once a connection to the socket at `path` succeeds (tried for at most `timeout`).
bool waitForSocket(const std::string& path,
                   std::chrono::seconds timeout = std::chrono::seconds(120));

// The program norvid-core of this build, copied into `directory` so that the directory is its
// exeDir (rules/, logs/, reports/ beside it). Returns the copy's path.
std::string copyServiceProgram(const std::string& directory);

}  // namespace norvid::testing
