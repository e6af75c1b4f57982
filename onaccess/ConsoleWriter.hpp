#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>

namespace norvid::onaccess {

// Writes console lines on a thread of its own, in the order they were given, so that a caller
// that must never wait (the thread answering held program starts) is not stopped by a console
// that blocks (a paused terminal, a full pipe). At most `capacity` lines wait; further lines are
// dropped and their count written once there is room. Everything given is written before the
// destructor returns (flush() waits for it earlier).
class ConsoleWriter {
 public:
  enum class Stream { Out, Err };

  ConsoleWriter(std::ostream& out, std::ostream& err, std::size_t capacity = 10000);
  ~ConsoleWriter();
  ConsoleWriter(const ConsoleWriter&) = delete;
  ConsoleWriter& operator=(const ConsoleWriter&) = delete;

  void write(Stream stream, std::string line);

  // Waits until every line given so far has been written.
  void flush();

 private:
  void writeLoop();

  std::ostream& out_;
  std::ostream& err_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<Stream, std::string>> lines_;
  std::size_t dropped_ = 0;
  bool writing_ = false;
  bool done_ = false;
  std::thread writer_;
};

}  // namespace norvid::onaccess
