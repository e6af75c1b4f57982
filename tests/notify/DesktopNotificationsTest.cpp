// The notifier's desktop side against a private session bus: a dbus-daemon of the test's own and
// a stand-in for the notification service on it (org.freedesktop.Notifications, recording each
// Notify call).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/DesktopNotifications.hpp"
#include "tests/support/ScopedEnvironment.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Shown {
  std::string app;
  std::string summary;
  std::string body;
  int urgency = -1;
};

// org.freedesktop.Notifications on the bus at `address`, keeping what it is asked to show.
class FakeNotificationService {
 public:
  explicit FakeNotificationService(const std::string& address) {
    if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0) {
      return;
    }
    if (sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/Notifications",
                                 "org.freedesktop.Notifications", kVtable, this) < 0 ||
        sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0) < 0) {
      return;
    }
    ready_ = true;
    loop_ = std::thread([this] {
      while (!stop_) {
        int processed = sd_bus_process(bus_, nullptr);
        if (processed < 0) break;
        if (processed == 0) sd_bus_wait(bus_, 100000);
      }
    });
  }
  ~FakeNotificationService() {
    stop_ = true;
    if (loop_.joinable()) loop_.join();
    sd_bus_flush_close_unref(bus_);
  }
  bool ready() const { return ready_; }

  // Waits (generously) until `count` notifications were shown.
  std::vector<Shown> waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, 60s, [&] { return shown_.size() >= count; });
    return shown_;
  }

 private:
  static int notify(sd_bus_message* message, void* self, sd_bus_error*) {
    auto* service = static_cast<FakeNotificationService*>(self);
    const char* app = nullptr;
    std::uint32_t replaces = 0;
    const char* icon = nullptr;
    const char* summary = nullptr;
    const char* body = nullptr;
    if (sd_bus_message_read(message, "susss", &app, &replaces, &icon, &summary, &body) < 0) {
      return -EINVAL;
    }
    Shown shown{app, summary, body, -1};
    sd_bus_message_skip(message, "as");
    if (sd_bus_message_enter_container(message, 'a', "{sv}") > 0) {
      while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* key = nullptr;
        sd_bus_message_read(message, "s", &key);
        if (std::string(key) == "urgency") {
          std::uint8_t urgency = 0;
          sd_bus_message_read(message, "v", "y", &urgency);
          shown.urgency = urgency;
        } else {
          sd_bus_message_skip(message, "v");
        }
        sd_bus_message_exit_container(message);
      }
      sd_bus_message_exit_container(message);
    }
    std::uint32_t id;
    {
      std::lock_guard<std::mutex> lock(service->mutex_);
      service->shown_.push_back(std::move(shown));
      id = static_cast<std::uint32_t>(service->shown_.size());
    }
    service->changed_.notify_all();
    return sd_bus_reply_method_return(message, "u", id);
  }

  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};

  sd_bus* bus_ = nullptr;
  bool ready_ = false;
  std::atomic<bool> stop_{false};
  std::thread loop_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Shown> shown_;
};

// A private session bus: dbus-daemon in the foreground, listening on a socket in `dir`.
class PrivateSessionBus {
 public:
  explicit PrivateSessionBus(const fs::path& dir)
      : address_("unix:path=" + (dir / "bus").string()) {
    if (std::system("command -v dbus-daemon > /dev/null") != 0) return;
    daemon_ = ::fork();
    if (daemon_ == 0) {
      const std::string listen = "--address=" + address_;
      ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", listen.c_str(),
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 500 && !fs::exists(dir / "bus"); ++i) std::this_thread::sleep_for(20ms);
  }
  ~PrivateSessionBus() {
    if (daemon_ > 0) {
      ::kill(daemon_, SIGTERM);
      ::waitpid(daemon_, nullptr, 0);
    }
  }
  bool running() const { return daemon_ > 0; }
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  pid_t daemon_ = -1;
};

class DesktopNotificationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bus_.running()) GTEST_SKIP() << "dbus-daemon is not installed";
    service_ = std::make_unique<FakeNotificationService>(bus_.address());
    if (!service_->ready()) GTEST_SKIP() << "the private session bus did not come up";
  }

  testing::TempDir root_;
  PrivateSessionBus bus_{root_.path()};
  testing::ScopedEnvironment busAddress_{"DBUS_SESSION_BUS_ADDRESS", bus_.address()};
  std::unique_ptr<FakeNotificationService> service_;
};

TEST_F(DesktopNotificationsTest, ShowsANotificationOnTheSessionBus) {
  auto desktop = platform::DesktopNotifications::onSessionBus();
  ASSERT_TRUE(desktop.ok()) << desktop.message();
  auto id = (*desktop)->show("Norvid Shield", "Amenaza en x.exe", "EICAR\n/tmp/x.exe", 2);
  ASSERT_TRUE(id.ok()) << id.message();
  auto shown = service_->waitFor(1);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].app, "Norvid Shield");
  EXPECT_EQ(shown[0].summary, "Amenaza en x.exe");
  EXPECT_EQ(shown[0].body, "EICAR\n/tmp/x.exe");
  EXPECT_EQ(shown[0].urgency, 2);
}

TEST_F(DesktopNotificationsTest, NoSessionBusIsAFailureNotACrash) {
  testing::ScopedEnvironment none{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"};
  testing::ScopedEnvironment noRuntime{"XDG_RUNTIME_DIR", "/nonexistent"};
  auto desktop = platform::DesktopNotifications::onSessionBus();
  if (desktop.ok()) {
    EXPECT_FALSE((*desktop)->show("Norvid Shield", "s", "b", 1).ok());
  }
}

}  // namespace
}  // namespace norvid
