#include "onaccess/ConsoleWriter.hpp"

namespace norvid::onaccess {

ConsoleWriter::ConsoleWriter(std::ostream& out, std::ostream& err, std::size_t capacity)
    : out_(out), err_(err), capacity_(capacity), writer_([this] { writeLoop(); }) {}

ConsoleWriter::~ConsoleWriter() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  changed_.notify_all();
  writer_.join();
}

void ConsoleWriter::write(Stream stream, std::string line) {
  {
    std::lock_guard lock(mutex_);
    if (lines_.size() >= capacity_) {
      ++dropped_;
      return;
    }
    lines_.emplace_back(stream, std::move(line));
  }
  changed_.notify_all();
}

void ConsoleWriter::flush() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return lines_.empty() && !writing_; });
}

void ConsoleWriter::writeLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return !lines_.empty() || done_; });
    if (lines_.empty()) return;
    auto [stream, line] = std::move(lines_.front());
    lines_.pop_front();
    std::size_t dropped = lines_.empty() ? std::exchange(dropped_, 0) : 0;
    writing_ = true;
    lock.unlock();
    std::ostream& target = stream == Stream::Out ? out_ : err_;
    target << line << std::endl;
    if (dropped > 0) {
      err_ << "[WARN] " << dropped << " línea(s) de consola omitida(s) por acumulación"
           << std::endl;
    }
    lock.lock();
    writing_ = false;
    changed_.notify_all();
  }
}

}  // namespace norvid::onaccess
