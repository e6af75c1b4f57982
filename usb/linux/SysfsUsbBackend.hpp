#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "usb/UsbBackend.hpp"

namespace norvid {

// USB control through sysfs and the modprobe configuration directory. Storage is blocked by the
// policy file "norvid-usb-storage.conf" (present: blocked, absent: allowed); devices are enabled
// and disabled through their `authorized` attribute. Identifiers are built from sysfs:
//   USB\ROOT_HUB30\usb2, USB\VID_0781&PID_5567\1-2, PCI\VEN_8086&DEV_A36D\0000:00:14.0,
//   USBSTOR\DISK&VEN_SanDisk&PROD_Cruzer_Blade\1-2:1.0
class SysfsUsbBackend final : public UsbBackend {
 public:
  SysfsUsbBackend(const std::string& sysfsRoot, const std::string& modprobeDirectory);

  PolicyAccess<std::uint32_t> readStorageStart() const override;
  PolicyAccess<> writeStorageStart(std::uint32_t value) const override;

  std::vector<UsbDeviceNode> devices(const std::string& enumerator) const override;
  platform::Result<UsbDeviceNode> locate(const std::string& id) const override;
  std::optional<std::string> property(const UsbDeviceNode& node, Property which) const override;
  std::optional<bool> isStarted(const UsbDeviceNode& node) const override;
  std::optional<bool> isEnabled(const UsbDeviceNode& node) const override;
  std::optional<UsbDeviceNode> parent(const UsbDeviceNode& node) const override;

  platform::Result<> disable(const UsbDeviceNode& node) const override;
  platform::Result<> enable(const UsbDeviceNode& node) const override;
  platform::Result<> reenumerate(const UsbDeviceNode& node) const override;

 private:
  std::string policyFilePath() const;

  // Names in bus/<bus>/devices, in natural order ("usb2" before "usb10").
  std::vector<std::string> busMemberNames(const std::string& bus) const;
  // The device directory a member links to; empty when it is not a link to a directory.
  std::optional<std::filesystem::path> busMemberDirectory(const std::string& bus,
                                                          const std::string& name) const;
  bool isBusMember(const std::string& bus, const std::filesystem::path& directory) const;

  std::optional<UsbDeviceNode> usbDeviceAt(const std::filesystem::path& directory) const;
  std::optional<UsbDeviceNode> storageInterfaceAt(const std::filesystem::path& directory) const;
  std::optional<UsbDeviceNode> pciDeviceAt(const std::filesystem::path& directory) const;

  std::filesystem::path root_;
  std::string modprobeDirectory_;
};

}  // namespace norvid
