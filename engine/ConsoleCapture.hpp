#pragma once

#include <string>
#include <vector>

namespace norvid {

// Keeps what the calling thread writes to std::cout and std::cerr while an instance lives on it,
// instead of writing it at once. The scanner judges each file under one capture and then writes
// the file's lines as one block, in the order of the walk, so the lines of files judged on
// different threads never mix; the same record replays a cached verdict's lines. Threads without
// a capture write through as before, one write call at a time.
class ConsoleCapture {
 public:
  struct Piece {
    bool error = false;
    std::string text;
  };
  using Record = std::vector<Piece>;

  explicit ConsoleCapture(Record& record);
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  // Writes `record` out as one block (or adds it to this thread's capture when there is one).
  static void emit(const Record& record);

  // Puts the routing in place (once per process). Call it before threads that write to the console
  // start, as the first capture would otherwise do it while they run.
  static void install();

 private:
  Record* previous_;
};

}  // namespace norvid
