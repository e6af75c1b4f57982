#include "engine/ConsoleCapture.hpp"

#include <iostream>
#include <mutex>
#include <streambuf>

namespace norvid {
namespace {

thread_local ConsoleCapture::Record* activeRecord = nullptr;

std::mutex& consoleMutex() {
  static std::mutex mutex;
  return mutex;
}

void append(ConsoleCapture::Record& record, bool error, const char* text, std::size_t size) {
  if (record.empty() || record.back().error != error) record.push_back({error, std::string()});
  record.back().text.append(text, size);
}

// Stands in for the buffer of std::cout or std::cerr: text goes to the thread's capture when
// there is one, otherwise to the original buffer under the console mutex.
class RoutingBuffer : public std::streambuf {
 public:
  RoutingBuffer(std::streambuf* target, bool error) : target_(target), error_(error) {}

  std::streambuf* target() const { return target_; }

 protected:
  int_type overflow(int_type character) override {
    if (traits_type::eq_int_type(character, traits_type::eof())) return traits_type::not_eof(0);
    const char byte = traits_type::to_char_type(character);
    return xsputn(&byte, 1) == 1 ? character : traits_type::eof();
  }

  std::streamsize xsputn(const char* text, std::streamsize size) override {
    if (size <= 0) return 0;
    if (activeRecord != nullptr) {
      append(*activeRecord, error_, text, static_cast<std::size_t>(size));
      return size;
    }
    std::lock_guard<std::mutex> lock(consoleMutex());
    return target_->sputn(text, size);
  }

  int sync() override {
    if (activeRecord != nullptr) return 0;
    std::lock_guard<std::mutex> lock(consoleMutex());
    return target_->pubsync();
  }

 private:
  std::streambuf* target_;
  bool error_;
};

struct Routing {
  RoutingBuffer out;
  RoutingBuffer err;
};

// Installed once, by the first scanner built (before the threads that write to the console from
// scans start) or the first capture.
Routing& routing() {
  static Routing* installed = [] {
    auto* routes = new Routing{RoutingBuffer(std::cout.rdbuf(), false),
                               RoutingBuffer(std::cerr.rdbuf(), true)};
    std::cout.rdbuf(&routes->out);
    std::cerr.rdbuf(&routes->err);
    return routes;
  }();
  return *installed;
}

}  // namespace

void ConsoleCapture::install() { routing(); }

ConsoleCapture::ConsoleCapture(Record& record) : previous_(activeRecord) {
  routing();
  activeRecord = &record;
}

ConsoleCapture::~ConsoleCapture() { activeRecord = previous_; }

void ConsoleCapture::emit(const Record& record) {
  if (record.empty()) return;
  if (activeRecord != nullptr) {
    for (const Piece& piece : record)
      append(*activeRecord, piece.error, piece.text.data(), piece.text.size());
    return;
  }
  Routing& routes = routing();
  std::lock_guard<std::mutex> lock(consoleMutex());
  for (const Piece& piece : record) {
    std::streambuf* target = piece.error ? routes.err.target() : routes.out.target();
    target->sputn(piece.text.data(), static_cast<std::streamsize>(piece.text.size()));
  }
  routes.out.target()->pubsync();
  routes.err.target()->pubsync();
}

}  // namespace norvid
