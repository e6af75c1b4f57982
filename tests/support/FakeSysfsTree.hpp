#pragma once

#include <map>
#include <string>

#include "tests/support/TempDir.hpp"

namespace norvid::testing {

// A sysfs tree in a temporary directory laid out like the kernel's: device directories under
// devices/pci0000:00/..., reached through relative links in bus/usb/devices and bus/pci/devices,
// with `authorized` files, `driver` links and bus/*/drivers_probe. Beside it, an empty modprobe
// configuration directory.
class FakeSysfsTree {
 public:
  // Attributes of a USB device.
  struct UsbDevice {
    std::string vendorId;      // idVendor, "0781"
    std::string productId;     // idProduct, "5567"
    std::string manufacturer;  // no file when empty
    std::string product;       // no file when empty
  };

  FakeSysfsTree();

  std::string root() const { return (directory_.path() / "sys").string(); }
  std::string modprobeDirectory() const { return (directory_.path() / "modprobe.d").string(); }
  // A scratch place beside the tree, for paths the tests break on purpose.
  const TempDir& scratch() const { return directory_; }

  // The machine the USB tests share:
  //   0000:00:02.0  VGA controller (not USB)
  //   0000:00:14.0  xHCI controller with root hubs usb1 (USB 2.00) and usb2 (USB 3.10)
  //   1-2           SanDisk "Cruzer Blade" flash drive, storage interface 1-2:1.0 (usb-storage)
  //   1-3           hub without manufacturer, with two devices behind it
  //   1-3.1         Kingston "DataTraveler 3.0" flash drive, storage interface 1-3.1:1.0 (uas)
  //   1-3.2         Logitech "USB Keyboard", HID interface 1-3.2:1.0
  void buildStandardMachine();

  void addPciDevice(const std::string& address, const std::string& vendor,
                    const std::string& device, const std::string& classCode,
                    const std::string& driver);
  // A root hub "usbN" on the PCI controller at `controller`; `version` as sysfs shows it (" 3.00").
  void addRootHub(const std::string& name, const std::string& controller,
                  const std::string& version, const std::string& product);
  // A device plugged into the hub `hub` (a root hub or another device).
  void addUsbDevice(const std::string& name, const std::string& hub, const UsbDevice& device);
  // Interface "<device>:<configuration>.<number>" of class `interfaceClass` ("08": storage),
  // bound to `driver` (none when empty).
  void addInterface(const std::string& name, const std::string& interfaceClass,
                    const std::string& driver);

  // The device directory of a USB bus member or a PCI address.
  std::string devicePath(const std::string& name) const;
  std::string attribute(const std::string& name, const std::string& file) const;
  void setAttribute(const std::string& name, const std::string& file, const std::string& value);
  void removeEntry(const std::string& name, const std::string& file);
  // Replaces the attribute by a directory: opening it for writing fails (EISDIR) even for root,
  // and so does reading it.
  void breakAttribute(const std::string& name, const std::string& file);
  // The same for bus/usb/drivers_probe.
  void breakDriversProbe();
  std::string driversProbe() const;

 private:
  void link(const std::string& bus, const std::string& name, const std::string& directory);
  void bindDriver(const std::string& bus, const std::string& directory, const std::string& driver);

  TempDir directory_;
  std::map<std::string, std::string> devices_;  // USB bus member or PCI address -> directory
};

}  // namespace norvid::testing
