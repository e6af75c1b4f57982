#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "usb/UsbBackend.hpp"
#include "usb/UsbDeviceInfo.hpp"
#include "usb/UsbDeviceNode.hpp"

namespace norvid {

// Blocks or allows USB mass storage for the whole machine, lists root hubs, USB controllers and
// storage devices, and disables or re-enables single devices. Keeps no state of its own: every
// call reads the policy and the device tree afresh, so several threads may call it at once.
// Every outcome is written to the event log.
class UsbControl {
 public:
  // Steps of enableDevice that tests replace.
  struct Hooks {
    // Last resort: asks udev to announce the device at this sysfs path again; true on success.
    // Default: "udevadm trigger --action=add <syspath>", at most 10 s.
    std::function<bool(const std::string& syspath)> triggerAdd;
    // The pause between a re-enumeration and the second lookup. Default: sleeps.
    std::function<void(std::chrono::milliseconds)> wait;
  };

  static constexpr std::uint32_t kStorageAllowed = 3;
  static constexpr std::uint32_t kStorageBlocked = 4;

  // `sysfsRoot` is the root of the device tree, `modprobeDirectory` where the storage policy
  // file lives.
  UsbControl(const std::string& sysfsRoot, const std::string& modprobeDirectory,
             Hooks hooks = Hooks());

  // The storage start value; 3 (allowed) when it cannot be read.
  std::uint32_t readUsbStorStart() const;
  bool writeUsbStorStart(std::uint32_t value) const;
  bool isUsbStorageEnabled() const;
  bool enableUsbStorage() const;
  bool disableUsbStorage() const;

  // Root hubs, then USB controllers, then storage devices; devices without a name are skipped.
  std::vector<UsbDeviceInfo> listDevices() const;
  UsbDeviceInfo getDeviceInfo(const UsbDeviceNode& node) const;
  std::vector<std::string> getDeviceIdList(const std::string& enumerator) const;

  // Disables the device with this identifier; for a storage interface, the USB device it belongs
  // to. Returns the identifier of the device actually disabled, empty on failure.
  std::string disableDevice(const std::string& deviceId) const;
  // Re-enables a device: authorisation, then re-enumeration, then udev. True when one worked.
  bool enableDevice(const std::string& deviceId) const;

 private:
  std::unique_ptr<UsbBackend> backend_;
  Hooks hooks_;
};

}  // namespace norvid
