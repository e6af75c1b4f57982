#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/SystemError.hpp"
#include "usb/UsbDeviceNode.hpp"

namespace norvid {

// The operating system's side of USB control: the machine-wide mass-storage policy and the device
// tree. Failures come back as Results carrying the errno; nothing throws for a platform failure.
// Implementations keep no mutable state, so one instance may serve several threads.
class UsbBackend {
 public:
  // Reading or writing the storage start value takes two steps that callers report apart:
  // opening the policy store, then reading or writing the value in it. A Failure carries no step,
  // so each step has a Result of its own: the outer one fails when the store could not be
  // opened, the inner one when the value could not be accessed.
  template <typename T = void>
  using PolicyAccess = platform::Result<platform::Result<T>>;

  enum class Property { Class, FriendlyName, Description, Manufacturer };

  virtual ~UsbBackend() = default;

  // The start value of the mass-storage drivers: 3 allowed, 4 blocked, anything else blocked.
  virtual PolicyAccess<std::uint32_t> readStorageStart() const = 0;
  // REQUIRES: value is 3 or 4; other values fail at the value step with EINVAL.
  virtual PolicyAccess<> writeStorageStart(std::uint32_t value) const = 0;

  // The devices present under one enumerator, in a stable order; unknown enumerators list none.
  virtual std::vector<UsbDeviceNode> devices(const std::string& enumerator) const = 0;

  // The present device whose identifier equals `id` (ASCII case ignored); fails with ENOENT when
  // no device has that identifier. The identifier is only ever compared, never used to build a
  // path.
  virtual platform::Result<UsbDeviceNode> locate(const std::string& id) const = 0;

  // A text property; empty when the device has none or it is not valid UTF-8.
  virtual std::optional<std::string> property(const UsbDeviceNode& node, Property which) const = 0;
  // True when the device is enabled and bound to a driver; empty when that cannot be read.
  virtual std::optional<bool> isStarted(const UsbDeviceNode& node) const = 0;
  // True when the device is enabled (authorised), bound or not; empty when unreadable.
  virtual std::optional<bool> isEnabled(const UsbDeviceNode& node) const = 0;
  // The device this one hangs from: an interface's USB device, a USB device's hub, a root hub's
  // controller. Empty when there is none the tree lists.
  virtual std::optional<UsbDeviceNode> parent(const UsbDeviceNode& node) const = 0;

  virtual platform::Result<> disable(const UsbDeviceNode& node) const = 0;
  virtual platform::Result<> enable(const UsbDeviceNode& node) const = 0;
  // Asks the bus to probe drivers for the device again.
  virtual platform::Result<> reenumerate(const UsbDeviceNode& node) const = 0;
};

// The backend of this platform over the given device tree root and policy directory.
std::unique_ptr<UsbBackend> createUsbBackend(const std::string& sysfsRoot,
                                             const std::string& modprobeDirectory);

}  // namespace norvid
