#include "platform/linux/SystemdServiceManager.hpp"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "platform/AtomicFile.hpp"

namespace norvid::platform {
namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";

struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// Holds an sd_bus_error and frees it on every path.
struct BusError {
  sd_bus_error value = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&value); }
};

int positive(int result) { return result < 0 ? -result : 0; }

}  // namespace

SystemdServiceManager::SystemdServiceManager(std::string unitDirectory)
    : unitDirectory_(std::move(unitDirectory)) {}

SystemdServiceManager::~SystemdServiceManager() {
  if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
}

std::string SystemdServiceManager::unitFile(const std::string& name) const {
  return unitDirectory_ + "/" + name + ".service";
}

int SystemdServiceManager::connect() {
  if (bus_ != nullptr) return 0;
  return positive(sd_bus_open_system(&bus_));
}

int SystemdServiceManager::openService(const std::string& name) {
  std::error_code error;
  bool present = std::filesystem::exists(unitFile(name), error);
  if (error) return error.value();
  return present ? 0 : kNotInstalled;
}

int SystemdServiceManager::reload() {
  BusError error;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface, "Reload",
                                  &error.value, &reply, "");
  Message owned(reply);
  return positive(result);
}

int SystemdServiceManager::createService(const Definition& definition) {
  if (definition.unitFiles.empty()) return EINVAL;
  if (openService(definition.name) == 0) return kAlreadyInstalled;
  using std::filesystem::perms;
  for (const UnitFile& file : definition.unitFiles) {
    const Result<> written = writeFileAtomically(
        unitDirectory_ + "/" + file.name, file.text,
        perms::owner_read | perms::owner_write | perms::group_read | perms::others_read);
    if (!written) return written.failure().code != 0 ? written.failure().code : EIO;
  }
  if (int code = reload(); code != 0) return code;
  // The service's own unit names the others with Also=, so enabling it enables them too.
  BusError error;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface,
                                  "EnableUnitFiles", &error.value, &reply, "asbb", 1,
                                  definition.unitFiles.front().name.c_str(), 0, 1);
  Message owned(reply);
  return positive(result);
}

int SystemdServiceManager::queryState(const std::string& name, State& state) {
  std::string unitName = name + ".service";
  BusError error;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface, "LoadUnit",
                                  &error.value, &reply, "s", unitName.c_str());
  Message owned(reply);
  if (result < 0) return -result;
  const char* objectPath = nullptr;
  if ((result = sd_bus_message_read(reply, "o", &objectPath)) < 0) return -result;
  char* active = nullptr;
  BusError propertyError;
  result = sd_bus_get_property_string(bus_, kDestination, objectPath,
                                      "org.freedesktop.systemd1.Unit", "ActiveState",
                                      &propertyError.value, &active);
  if (result < 0) return -result;
  std::string activeState(active);
  free(active);
  if (activeState == "active" || activeState == "reloading") {
    state = State::Running;
  } else if (activeState == "inactive" || activeState == "failed") {
    state = State::Stopped;
  } else {
    state = State::Other;
  }
  return 0;
}

int SystemdServiceManager::callManager(const char* method, const char* signature,
                                       const std::string& name) {
  std::string unitName = name + ".service";
  BusError error;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface, method,
                                  &error.value, &reply, signature, unitName.c_str(), "replace");
  Message owned(reply);
  return positive(result);
}

int SystemdServiceManager::startService(const std::string& name) {
  return callManager("StartUnit", "ss", name);
}

int SystemdServiceManager::stopService(const std::string& name) {
  State state = State::Other;
  if (queryState(name, state) == 0 && state == State::Stopped) return kNotActive;
  return callManager("StopUnit", "ss", name);
}

int SystemdServiceManager::deleteService(const std::string& name) {
  std::string file = name + ".service";
  BusError error;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface,
                                  "DisableUnitFiles", &error.value, &reply, "asb", 1,
                                  file.c_str(), 0);
  Message owned(reply);
  std::error_code removeError;
  std::filesystem::remove(unitFile(name), removeError);
  if (removeError) return removeError.value();
  // The socket unit that install wrote beside it, when there is one.
  std::filesystem::remove(unitDirectory_ + "/" + name + ".socket", removeError);
  if (removeError) return removeError.value();
  if (result < 0) return -result;
  return reload();
}

}  // namespace norvid::platform
