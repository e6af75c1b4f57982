#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace norvid::testing {

// Holds every open of one file until release(), with the kernel's file-access notification
// interface (root only). A scan that reaches the file waits there, so a test can act on a scan
// in progress however fast the machine is. Every held open is allowed when the gate goes away.
class OpenGate {
 public:
  explicit OpenGate(const std::string& path);
  ~OpenGate();
  OpenGate(const OpenGate&) = delete;
  OpenGate& operator=(const OpenGate&) = delete;

  // Why the gate could not be set up; empty when it holds opens.
  const std::string& error() const { return error_; }

  // Lets every held open and every later one through.
  void release();

 private:
  void run();
  // Ends the thread's current wait on the two descriptors.
  void wake() const;

  std::string error_;
  int group_ = -1;
  int wake_ = -1;
  std::atomic<bool> released_{false};
  std::atomic<bool> stopping_{false};
  std::vector<int> held_;
  std::thread thread_;
};

}  // namespace norvid::testing
