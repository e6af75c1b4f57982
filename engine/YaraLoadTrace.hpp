#pragma once

#include <fstream>
#include <string>

namespace norvid {

// The step-by-step trace of one rule load (`yara_load.log`). The file is truncated when opened
// and unbuffered, so every line reaches the disk as it is written and a load that dies half-way
// still leaves its steps behind. When the file cannot be opened the lines are dropped.
class YaraLoadTrace {
 public:
  explicit YaraLoadTrace(const std::string& path);
  YaraLoadTrace(const YaraLoadTrace&) = delete;
  YaraLoadTrace& operator=(const YaraLoadTrace&) = delete;

  bool isOpen() const { return out_.is_open(); }

  // Writes `text` and a newline.
  void line(const std::string& text);

  // Writes `text` without a newline; the next write continues the same line.
  void partial(const std::string& text);

 private:
  std::ofstream out_;
};

}  // namespace norvid
