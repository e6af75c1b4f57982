#include "engine/YaraLoadTrace.hpp"

namespace norvid {

YaraLoadTrace::YaraLoadTrace(const std::string& path) {
  out_.rdbuf()->pubsetbuf(nullptr, 0);
  out_.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
}

void YaraLoadTrace::line(const std::string& text) {
  if (!out_.is_open()) return;
  std::string withEnd = text + "\n";
  out_.write(withEnd.data(), static_cast<std::streamsize>(withEnd.size()));
  out_.flush();
}

void YaraLoadTrace::partial(const std::string& text) {
  if (!out_.is_open()) return;
  out_.write(text.data(), static_cast<std::streamsize>(text.size()));
  out_.flush();
}

}  // namespace norvid
