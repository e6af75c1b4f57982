#include "ipc/UsbCommands.hpp"

#include <exception>
#include <nlohmann/json.hpp>

#include "ipc/JsonResponse.hpp"
#include "logging/EventLogger.hpp"

namespace norvid {
namespace {

using nlohmann::json;

json devicesArray(const std::vector<UsbDeviceInfo>& devices) {
  json array = json::array();
  for (const UsbDeviceInfo& device : devices) {
    array.push_back({{"device_id", device.device_id},
                     {"name", device.name},
                     {"manufacturer", device.manufacturer},
                     {"vid", device.vid},
                     {"pid", device.pid},
                     {"status", device.status}});
  }
  return array;
}

}  // namespace

UsbCommands::UsbCommands(UsbControl& control) : control_(control) {}

std::string UsbCommands::handleUsbDisable() {
  try {
    bool ok = control_.disableUsbStorage();
    if (ok) {
      EventLogger::instance().logUsbEvent("disable", "Puertos USB deshabilitados por el usuario");
    }
    return serializeResponse(
        {{"status", ok ? "ok" : "error"},
         {"command", "usb_disable"},
         {"usb_storage_enabled", !ok},
         {"message", ok ? "Puertos USB de almacenamiento deshabilitados correctamente"
                        : "No se pudieron deshabilitar los puertos USB"}});
  } catch (const std::exception& e) {
    return createErrorResponse(std::string("Error deshabilitando USB: ") + e.what());
  }
}

std::string UsbCommands::handleUsbEnable() {
  try {
    bool ok = control_.enableUsbStorage();
    if (ok) {
      EventLogger::instance().logUsbEvent("enable", "Puertos USB habilitados por el usuario");
    }
    return serializeResponse(
        {{"status", ok ? "ok" : "error"},
         {"command", "usb_enable"},
         {"usb_storage_enabled", ok},
         {"message", ok ? "Puertos USB de almacenamiento habilitados correctamente"
                        : "No se pudieron habilitar los puertos USB"}});
  } catch (const std::exception& e) {
    return createErrorResponse(std::string("Error habilitando USB: ") + e.what());
  }
}

std::string UsbCommands::handleUsbDisablePort(const std::string& deviceId) {
  if (deviceId.empty()) return createErrorResponse("Se requiere device_id");
  try {
    std::string disabled = control_.disableDevice(deviceId);
    json response = {{"command", "usb_disable_port"}};
    if (disabled.empty()) {
      response["status"] = "error";
      response["message"] = "No se pudo deshabilitar el dispositivo USB";
    } else {
      response["status"] = "ok";
      response["disabled_device_id"] = disabled;
      response["message"] = "Dispositivo USB deshabilitado correctamente";
    }
    return serializeResponse(response);
  } catch (const std::exception& e) {
    return createErrorResponse(std::string("Error deshabilitando puerto: ") + e.what());
  }
}

std::string UsbCommands::handleUsbEnablePort(const std::string& deviceId) {
  if (deviceId.empty()) return createErrorResponse("Se requiere device_id");
  try {
    bool ok = control_.enableDevice(deviceId);
    return serializeResponse({{"status", ok ? "ok" : "error"},
                              {"command", "usb_enable_port"},
                              {"message", ok ? "Dispositivo USB habilitado correctamente"
                                             : "No se pudo habilitar el dispositivo USB"}});
  } catch (const std::exception& e) {
    return createErrorResponse(std::string("Error habilitando puerto: ") + e.what());
  }
}

std::string UsbCommands::handleUsbListDevices() {
  try {
    std::vector<UsbDeviceInfo> devices = control_.listDevices();
    return serializeResponse({{"status", "ok"},
                              {"command", "usb_list_devices"},
                              {"count", devices.size()},
                              {"devices", devicesArray(devices)}});
  } catch (const std::exception& e) {
    return createErrorResponse(std::string("Error listando dispositivos USB: ") + e.what());
  }
}

std::string UsbCommands::handleUsbStatus() {
  try {
    bool enabled = control_.isUsbStorageEnabled();
    std::vector<UsbDeviceInfo> devices = control_.listDevices();
    return serializeResponse({{"status", "ok"},
                              {"command", "usb_status"},
                              {"usb_storage_enabled", enabled},
                              {"connected_devices", devices.size()},
                              {"devices", devicesArray(devices)}});
  } catch (const std::exception& e) {
    return createErrorResponse(std::string("Error obteniendo estado USB: ") + e.what());
  }
}

}  // namespace norvid
