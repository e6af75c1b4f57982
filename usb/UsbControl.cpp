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

// " (error 21)": how the event log words a failure, by its errno alone.
std::string errorSuffix(const platform::Failure& failure) {
  return " (error " + std::to_string(failure.code) + ")";
}

// True when both steps of a storage policy access worked; otherwise logs the step that failed,
// `openFailed` or `valueFailed` followed by its errno.
template <typename T>
bool policyAccessWorked(const UsbBackend::PolicyAccess<T>& access, const std::string& openFailed,
                        const std::string& valueFailed) {
  if (!access) {
    EventLogger::instance().error(openFailed + errorSuffix(access.failure()));
    return false;
  }
  if (!*access) {
    EventLogger::instance().error(valueFailed + errorSuffix(access->failure()));
    return false;
  }
  return true;
}

}  // namespace

UsbControl::UsbControl(const std::string& sysfsRoot, const std::string& modprobeDirectory,
                       Hooks hooks)
    : backend_(createUsbBackend(sysfsRoot, modprobeDirectory)), hooks_(std::move(hooks)) {
  if (!hooks_.triggerAdd) hooks_.triggerAdd = runUdevTrigger;
  if (!hooks_.wait) hooks_.wait = sleepFor;
}

std::uint32_t UsbControl::readUsbStorStart() const {
  const UsbBackend::PolicyAccess<std::uint32_t> start = backend_->readStorageStart();
  if (!policyAccessWorked(start, "USB Storage: no se pudo abrir clave USBSTOR",
                          "USB Storage: no se pudo leer valor Start")) {
    return kStorageAllowed;
  }
  return start->value();
}

bool UsbControl::writeUsbStorStart(std::uint32_t value) const {
  return policyAccessWorked(backend_->writeStorageStart(value),
                            "USB Storage: no se pudo abrir clave USBSTOR para escritura",
                            "USB Storage: no se pudo escribir valor Start");
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
  const platform::Result<UsbDeviceNode> node = backend_->locate(deviceId);
  if (!node) {
    EventLogger::instance().error("USB disableDevice: no se encontro nodo para " + deviceId +
                                  errorSuffix(node.failure()));
    return std::string();
  }
  // A storage interface stands for the USB device it belongs to. A USB device is never traded
  // for its hub: that would cut off every other device behind the hub.
  UsbDeviceNode target = *node;
  if (node->enumerator != "USB") {
    std::optional<UsbDeviceNode> parent = backend_->parent(*node);
    if (parent && parent->id.find("USB\\VID_") != std::string::npos) target = *parent;
  }
  if (const platform::Result<> disabled = backend_->disable(target); !disabled) {
    EventLogger::instance().error("USB disableDevice: fallo CM_Disable_DevNode para " + target.id +
                                  errorSuffix(disabled.failure()));
    return std::string();
  }
  EventLogger::instance().warning("USB: dispositivo deshabilitado - " + target.id);
  return target.id;
}

bool UsbControl::enableDevice(const std::string& deviceId) const {
  EventLogger& log = EventLogger::instance();
  const std::string& shown = deviceId;
  // Nothing below runs for an identifier that names no device in the tree.
  const platform::Result<UsbDeviceNode> node = backend_->locate(deviceId);
  if (!node) {
    log.error("USB enableDevice: todos los metodos fallaron para " + shown);
    return false;
  }

  const platform::Result<> enabled = backend_->enable(*node);
  if (enabled) {
    log.info("USB: dispositivo habilitado via CM_Enable - " + shown);
    return true;
  }
  log.warning("USB enableDevice: CM_Enable_DevNode fallo" + errorSuffix(enabled.failure()) +
              ", intentando re-enumerar padre...");
  // The bus re-probes the device by its own name; a device the tree shows under no parent is left
  // to the last method.
  if (backend_->parent(*node) && backend_->reenumerate(*node)) {
    hooks_.wait(kReenumerationWait);
    // Found again is not enough: the device counts as enabled only once it is authorised.
    const platform::Result<UsbDeviceNode> again = backend_->locate(deviceId);
    if (again && backend_->isEnabled(*again) == true) {
      log.info("USB: dispositivo habilitado via re-enumeracion - " + shown);
      return true;
    }
  }

  log.warning("USB enableDevice: APIs fallaron, usando pnputil para " + shown);
  if (hooks_.triggerAdd(node->location)) {
    log.info("USB: dispositivo habilitado via pnputil - " + shown);
    return true;
  }
  log.error("USB enableDevice: todos los metodos fallaron para " + shown);
  return false;
}

}  // namespace norvid
