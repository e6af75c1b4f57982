#include "usb/UsbControl.hpp"

#include <thread>

#include "logging/EventLogger.hpp"
#include "platform/ProcessRunner.hpp"

namespace norvid {
namespace {

constexpr std::chrono::milliseconds kReenumerationWait{1500};
constexpr std::chrono::milliseconds kTriggerTimeout{10000};
constexpr const char* kStoragePrefix = "[STORAGE] ";

// The 4 characters after the first `key` ("VID_"), when at least 4 follow.
std::string idField(const std::string& id, const std::string& key) {
  std::size_t at = id.find(key);
  if (at == std::string::npos || id.size() < at + key.size() + 4) return std::string();
  return id.substr(at + key.size(), 4);
}

std::string upperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool runUdevTrigger(const std::string& syspath) {
  return platform::runProcess({"udevadm", "trigger", "--action=add", syspath}, kTriggerTimeout)
      .succeeded();
}

void sleepFor(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

}  // namespace

UsbControl::UsbControl(const std::string& sysfsRoot, const std::string& modprobeDirectory,
                       Hooks hooks)
    : backend_(createUsbBackend(sysfsRoot, modprobeDirectory)), hooks_(std::move(hooks)) {
  if (!hooks_.triggerAdd) hooks_.triggerAdd = runUdevTrigger;
  if (!hooks_.wait) hooks_.wait = sleepFor;
}

std::uint32_t UsbControl::readUsbStorStart() const {
  UsbBackend::PolicyAccess access = backend_->readStorageStart();
  switch (access.failure) {
    case UsbBackend::PolicyAccess::Failure::Open:
      EventLogger::instance().error("USB Storage: no se pudo abrir clave USBSTOR (error " +
                                    std::to_string(access.error) + ")");
      return kStorageAllowed;
    case UsbBackend::PolicyAccess::Failure::Value:
      EventLogger::instance().error("USB Storage: no se pudo leer valor Start (error " +
                                    std::to_string(access.error) + ")");
      return kStorageAllowed;
    case UsbBackend::PolicyAccess::Failure::None:
      break;
  }
  return access.value;
}

bool UsbControl::writeUsbStorStart(std::uint32_t value) const {
  UsbBackend::PolicyAccess access = backend_->writeStorageStart(value);
  switch (access.failure) {
    case UsbBackend::PolicyAccess::Failure::Open:
      EventLogger::instance().error(
          "USB Storage: no se pudo abrir clave USBSTOR para escritura (error " +
          std::to_string(access.error) + ")");
      return false;
    case UsbBackend::PolicyAccess::Failure::Value:
      EventLogger::instance().error("USB Storage: no se pudo escribir valor Start (error " +
                                    std::to_string(access.error) + ")");
      return false;
    case UsbBackend::PolicyAccess::Failure::None:
      break;
  }
  return true;
}

bool UsbControl::isUsbStorageEnabled() const { return readUsbStorStart() == kStorageAllowed; }

bool UsbControl::disableUsbStorage() const {
  if (!writeUsbStorStart(kStorageBlocked)) {
    EventLogger::instance().error("USB Storage: fallo al deshabilitar puertos");
    return false;
  }
  EventLogger::instance().warning("USB Storage: puertos deshabilitados (USBSTOR Start=4)");
  return true;
}

bool UsbControl::enableUsbStorage() const {
  if (!writeUsbStorStart(kStorageAllowed)) {
    EventLogger::instance().error("USB Storage: fallo al habilitar puertos");
    return false;
  }
  EventLogger::instance().info("USB Storage: puertos habilitados (USBSTOR Start=3)");
  return true;
}

std::vector<std::string> UsbControl::getDeviceIdList(const std::string& enumerator) const {
  std::vector<std::string> ids;
  for (const UsbDeviceNode& node : backend_->devices(enumerator)) ids.push_back(node.id);
  return ids;
}

UsbDeviceInfo UsbControl::getDeviceInfo(const UsbDeviceNode& node) const {
  UsbDeviceInfo info;
  info.device_id = node.id;
  info.vid = idField(info.device_id, "VID_");
  info.pid = idField(info.device_id, "PID_");
  std::optional<std::string> name = backend_->property(node, UsbBackend::Property::FriendlyName);
  if (!name) name = backend_->property(node, UsbBackend::Property::Description);
  info.name = name.value_or("");
  info.manufacturer = backend_->property(node, UsbBackend::Property::Manufacturer).value_or("");
  std::optional<bool> started = backend_->isStarted(node);
  info.status = !started ? "Desconocido" : (*started ? "Activo" : "Inactivo");
  return info;
}

std::vector<UsbDeviceInfo> UsbControl::listDevices() const {
  std::vector<UsbDeviceInfo> devices;
  const std::string policy = readUsbStorStart() == kStorageAllowed ? "Almacenamiento permitido"
                                                                   : "Almacenamiento bloqueado";
  for (const UsbDeviceNode& node : backend_->devices("USB")) {
    if (node.id.size() <= 7 || upperCase(node.id).find("ROOT_HUB") == std::string::npos) continue;
    UsbDeviceInfo info = getDeviceInfo(node);
    if (info.name.empty()) continue;
    info.status = policy;
    devices.push_back(std::move(info));
  }
  for (const UsbDeviceNode& node : backend_->devices("PCI")) {
    if (backend_->property(node, UsbBackend::Property::Class) != "USB") continue;
    UsbDeviceInfo info = getDeviceInfo(node);
    if (info.name.empty()) continue;
    info.status = policy;
    devices.push_back(std::move(info));
  }
  for (const UsbDeviceNode& node : backend_->devices("USBSTOR")) {
    UsbDeviceInfo info = getDeviceInfo(node);
    if (info.name.empty()) continue;
    info.name = kStoragePrefix + info.name;
    devices.push_back(std::move(info));
  }
  return devices;
}

std::string UsbControl::disableDevice(const std::string& deviceId) const {
  UsbDeviceNode node;
  if (int error = backend_->locate(deviceId, &node); error != 0) {
    EventLogger::instance().error("USB disableDevice: no se encontro nodo para " +
                                  deviceId + " (error " + std::to_string(error) + ")");
    return std::string();
  }
  // A storage interface stands for the USB device it belongs to. A USB device is never traded
  // for its hub: that would cut off every other device behind the hub.
  UsbDeviceNode target = node;
  if (node.enumerator != "USB") {
    std::optional<UsbDeviceNode> parent = backend_->parent(node);
    if (parent && parent->id.find("USB\\VID_") != std::string::npos) target = *parent;
  }
  if (int error = backend_->disable(target); error != 0) {
    EventLogger::instance().error("USB disableDevice: fallo CM_Disable_DevNode para " + target.id +
                                  " (error " + std::to_string(error) + ")");
    return std::string();
  }
  EventLogger::instance().warning("USB: dispositivo deshabilitado - " + target.id);
  return target.id;
}

bool UsbControl::enableDevice(const std::string& deviceId) const {
  EventLogger& log = EventLogger::instance();
  const std::string& shown = deviceId;
  UsbDeviceNode node;
  // Nothing below runs for an identifier that names no device in the tree.
  if (backend_->locate(deviceId, &node) != 0) {
    log.error("USB enableDevice: todos los metodos fallaron para " + shown);
    return false;
  }

  int error = backend_->enable(node);
  if (error == 0) {
    log.info("USB: dispositivo habilitado via CM_Enable - " + shown);
    return true;
  }
  log.warning("USB enableDevice: CM_Enable_DevNode fallo (error " + std::to_string(error) +
              "), intentando re-enumerar padre...");
  // The bus re-probes the device by its own name; a device the tree shows under no parent is left
  // to the last method.
  if (backend_->parent(node) && backend_->reenumerate(node) == 0) {
    hooks_.wait(kReenumerationWait);
    // Found again is not enough: the device counts as enabled only once it is authorised.
    UsbDeviceNode again;
    if (backend_->locate(deviceId, &again) == 0 && backend_->isEnabled(again) == true) {
      log.info("USB: dispositivo habilitado via re-enumeracion - " + shown);
      return true;
    }
  }

  log.warning("USB enableDevice: APIs fallaron, usando pnputil para " + shown);
  if (hooks_.triggerAdd(node.location)) {
    log.info("USB: dispositivo habilitado via pnputil - " + shown);
    return true;
  }
  log.error("USB enableDevice: todos los metodos fallaron para " + shown);
  return false;
}

}  // namespace norvid
