#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <sstream>

#include "onaccess/ConsoleWriter.hpp"

namespace norvid::onaccess {
namespace {

using Stream = ConsoleWriter::Stream;

// An output buffer that takes nothing until it is opened, like a paused terminal.
class PausedBuffer : public std::stringbuf {
 public:
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    opened_.notify_all();
  }

 protected:
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    waitUntilOpen();
    return std::stringbuf::xsputn(text, count);
  }
  int_type overflow(int_type character) override {
    waitUntilOpen();
    return std::stringbuf::overflow(character);
  }

 private:
  void waitUntilOpen() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
  }

  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

TEST(ConsoleWriterTest, KeepsTheOrderOfEachStream) {
  std::ostringstream out, err;
  ConsoleWriter console(out, err);
  console.write(Stream::Out, "[*] one");
  console.write(Stream::Err, "[WARN] two");
  console.write(Stream::Out, "[OK] three");
  console.flush();
  EXPECT_EQ(out.str(), "[*] one\n[OK] three\n");
  EXPECT_EQ(err.str(), "[WARN] two\n");
}

TEST(ConsoleWriterTest, ABlockedConsoleNeverStopsTheWriterAndDropsAreCounted) {
  PausedBuffer paused;
  std::ostream out(&paused);
  std::ostringstream err;
  {
    ConsoleWriter console(out, err, 2);
    // None of these calls waits for the paused console.
    for (int i = 0; i < 10; ++i) console.write(Stream::Out, "line " + std::to_string(i));
    paused.open();
  }
  const std::string written = paused.str();
  EXPECT_EQ(written.rfind("line 0\n", 0), 0u) << written;
  EXPECT_EQ(written.find("line 9"), std::string::npos) << written;
  EXPECT_NE(err.str().find("línea(s) de consola omitida(s)"), std::string::npos) << err.str();
}

}  // namespace
}  // namespace norvid::onaccess
