#include "tests/support/ReadCounter.hpp"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace norvid::testing {

ReadCounter::ReadCounter(const std::string& directory)
    : descriptor_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  EXPECT_GE(descriptor_, 0);
  EXPECT_GE(::inotify_add_watch(descriptor_, directory.c_str(), IN_ACCESS), 0);
}

ReadCounter::~ReadCounter() { ::close(descriptor_); }

int ReadCounter::reads() {
  int count = 0;
  alignas(inotify_event) char buffer[4096];
  ssize_t got;
  while ((got = ::read(descriptor_, buffer, sizeof(buffer))) > 0) {
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      // Events without a name are the directory's own (its listing by a walk).
      if ((event->mask & IN_ACCESS) != 0 && event->len > 0) ++count;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return count;
}

}  // namespace norvid::testing
