#pragma once

#include <string>

namespace norvid {

// A device found in the device tree: its identifier, the enumerator it was listed under ("USB",
// "PCI" or "USBSTOR") and where the backend keeps it (on Linux its sysfs directory).
struct UsbDeviceNode {
  std::string id;
  std::string enumerator;
  std::string location;
};

}  // namespace norvid
