#include "tests/support/OpenGate.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/SystemError.hpp"

namespace norvid::testing {

OpenGate::OpenGate(const std::string& path) {
  group_ = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE);
  if (group_ < 0) {
    error_ = "fanotify_init: " + platform::errnoText(errno);
    return;
  }
  if (::fanotify_mark(group_, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, path.c_str()) != 0) {
    error_ = "fanotify_mark: " + platform::errnoText(errno);
    ::close(group_);
    group_ = -1;
    return;
  }
  wake_ = ::eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { run(); });
}

OpenGate::~OpenGate() {
  release();
  if (thread_.joinable()) {
    stopping_ = true;
    wake();
    thread_.join();
  }
  if (wake_ >= 0) ::close(wake_);
  if (group_ >= 0) ::close(group_);
}

void OpenGate::release() {
  if (released_.exchange(true) || wake_ < 0) return;
  wake();
}

void OpenGate::wake() const {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
}

void OpenGate::run() {
  const auto allow = [this](int descriptor) {
    fanotify_response response{};
    response.fd = descriptor;
    response.response = FAN_ALLOW;
    [[maybe_unused]] const ssize_t written = ::write(group_, &response, sizeof response);
    ::close(descriptor);
  };
  while (!stopping_) {
    pollfd descriptors[2] = {{group_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (::poll(descriptors, 2, -1) < 0 && errno != EINTR) break;
    if (descriptors[1].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t read = ::read(wake_, &count, sizeof count);
    }
    if (descriptors[0].revents & POLLIN) {
      alignas(fanotify_event_metadata) char buffer[4096];
      const ssize_t length = ::read(group_, buffer, sizeof buffer);
      auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
      for (ssize_t left = length; left > 0 && FAN_EVENT_OK(event, left);
           event = FAN_EVENT_NEXT(event, left)) {
        if (event->fd >= 0) held_.push_back(event->fd);
      }
    }
    if (released_) {
      for (int descriptor : held_) allow(descriptor);
      held_.clear();
    }
  }
  for (int descriptor : held_) allow(descriptor);
  held_.clear();
}

}  // namespace norvid::testing
