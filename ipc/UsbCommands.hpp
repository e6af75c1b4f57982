#pragma once

#include <string>

#include "usb/UsbControl.hpp"

namespace norvid {

// The six USB commands of the service. Each returns the serialised response; failed operations
// answer their own "status":"error" object, a missing device identifier and exceptions answer the
// error envelope.
class UsbCommands {
 public:
  explicit UsbCommands(UsbControl& control);

  std::string handleUsbStatus();
  std::string handleUsbEnable();
  std::string handleUsbDisable();
  std::string handleUsbListDevices();
  std::string handleUsbDisablePort(const std::string& deviceId);
  std::string handleUsbEnablePort(const std::string& deviceId);

 private:
  UsbControl& control_;
};

}  // namespace norvid
