#include "platform/linux/SystemdServiceManager.hpp"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "platform/AtomicFile.hpp"
#include "platform/SystemError.hpp"

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

// The outcome of an sd-bus call, which answers a negative errno on failure.
Result<> busOutcome(int result, const std::string& step) {
  if (result < 0) return Failure::ofErrno(-result, step);
  return {};
}

}  // namespace

SystemdServiceManager::SystemdServiceManager(std::string unitDirectory)
    : unitDirectory_(std::move(unitDirectory)) {}

SystemdServiceManager::~SystemdServiceManager() {
  if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
}

std::string SystemdServiceManager::unitFile(const std::string& name) const {
  return unitDirectory_ + "/" + name + ".service";
}

Result<> SystemdServiceManager::connect() {
  if (bus_ != nullptr) return {};
  return busOutcome(sd_bus_open_system(&bus_), "connect to the system bus");
}

Result<> SystemdServiceManager::openService(const std::string& name) {
  const std::string file = unitFile(name);
  std::error_code error;
  bool present = std::filesystem::exists(file, error);
  if (error) return Failure::ofErrno(error.value(), "stat " + file);
  if (!present) return Failure::ofErrno(kNotInstalled, file);
  return {};
}

Result<> SystemdServiceManager::reload() {
  BusError error;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface, "Reload",
                                  &error.value, &reply, "");
  Message owned(reply);
  return busOutcome(result, "Reload");
}

Result<> SystemdServiceManager::createService(const Definition& definition) {
  if (definition.unitFiles.empty()) return Failure::ofErrno(EINVAL, "no unit files");
  if (openService(definition.name)) return Failure::ofErrno(kAlreadyInstalled, definition.name);
  using std::filesystem::perms;
  for (const UnitFile& file : definition.unitFiles) {
    const Result<> written = writeFileAtomically(
        unitDirectory_ + "/" + file.name, file.text,
        perms::owner_read | perms::owner_write | perms::group_read | perms::others_read);
    if (!written) {
      const Failure& failure = written.failure();
      return Failure{failure.code != 0 ? failure.code : EIO, failure.message};
    }
  }
  if (Result<> reloaded = reload(); !reloaded) return reloaded;
  // The service's own unit names the others with Also=, so enabling it enables them too.
  BusError error;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface,
                                  "EnableUnitFiles", &error.value, &reply, "asbb", 1,
                                  definition.unitFiles.front().name.c_str(), 0, 1);
  Message owned(reply);
  return busOutcome(result, "EnableUnitFiles " + definition.unitFiles.front().name);
}

Result<ServiceManager::State> SystemdServiceManager::queryState(const std::string& name) {
  std::string unitName = name + ".service";
  BusError error;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface, "LoadUnit",
                                  &error.value, &reply, "s", unitName.c_str());
  Message owned(reply);
  if (result < 0) return Failure::ofErrno(-result, "LoadUnit " + unitName);
  const char* objectPath = nullptr;
  if ((result = sd_bus_message_read(reply, "o", &objectPath)) < 0) {
    return Failure::ofErrno(-result, "LoadUnit " + unitName);
  }
  char* active = nullptr;
  BusError propertyError;
  result = sd_bus_get_property_string(bus_, kDestination, objectPath,
                                      "org.freedesktop.systemd1.Unit", "ActiveState",
                                      &propertyError.value, &active);
  if (result < 0) return Failure::ofErrno(-result, "ActiveState " + unitName);
  std::string activeState(active);
  free(active);
  if (activeState == "active" || activeState == "reloading") return State::Running;
  if (activeState == "inactive" || activeState == "failed") return State::Stopped;
  return State::Other;
}

Result<> SystemdServiceManager::callManager(const char* method, const char* signature,
                                            const std::string& name) {
  std::string unitName = name + ".service";
  BusError error;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface, method,
                                  &error.value, &reply, signature, unitName.c_str(), "replace");
  Message owned(reply);
  return busOutcome(result, std::string(method) + " " + unitName);
}

Result<> SystemdServiceManager::startService(const std::string& name) {
  return callManager("StartUnit", "ss", name);
}

Result<> SystemdServiceManager::stopService(const std::string& name) {
  if (queryState(name) == State::Stopped) return Failure::ofErrno(kNotActive, name);
  return callManager("StopUnit", "ss", name);
}

Result<> SystemdServiceManager::deleteService(const std::string& name) {
  std::string file = name + ".service";
  BusError error;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface,
                                  "DisableUnitFiles", &error.value, &reply, "asb", 1,
                                  file.c_str(), 0);
  Message owned(reply);
  std::error_code removeError;
  std::filesystem::remove(unitFile(name), removeError);
  if (removeError) return Failure::ofErrno(removeError.value(), "remove " + unitFile(name));
  // The socket unit that install wrote beside it, when there is one.
  const std::string socketUnit = unitDirectory_ + "/" + name + ".socket";
  std::filesystem::remove(socketUnit, removeError);
  if (removeError) return Failure::ofErrno(removeError.value(), "remove " + socketUnit);
  if (result < 0) return Failure::ofErrno(-result, "DisableUnitFiles " + file);
  return reload();
}

}  // namespace norvid::platform
