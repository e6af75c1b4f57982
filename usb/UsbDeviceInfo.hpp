#pragma once

#include <string>

namespace norvid {

// One listed device, all texts UTF-8.
struct UsbDeviceInfo {
  std::string device_id;     // instance identifier, e.g. USB\VID_0781&PID_5567\1-2
  std::string name;          // friendly name or description; storage devices get "[STORAGE] "
  std::string manufacturer;  // empty when the device names none
  std::string vid;           // 4 characters after the first "VID_", else empty
  std::string pid;           // 4 characters after the first "PID_", else empty
  std::string status;        // "Activo"/"Inactivo"/"Desconocido", or the storage policy text
};

}  // namespace norvid
