#include "tests/support/FakeSysfsTree.hpp"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace norvid::testing {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

FakeSysfsTree::FakeSysfsTree() {
  const fs::path sys = root();
  fs::create_directories(sys / "bus/usb/devices");
  fs::create_directories(sys / "bus/pci/devices");
  fs::create_directories(sys / "devices/pci0000:00");
  writeFile(sys / "bus/usb/drivers_probe", "");
  writeFile(sys / "bus/pci/drivers_probe", "");
  fs::create_directories(modprobeDirectory());
}

void FakeSysfsTree::buildStandardMachine() {
  addPciDevice("0000:00:02.0", "0x8086", "0x46a6", "0x030000", "i915");
  addPciDevice("0000:00:14.0", "0x8086", "0xa36d", "0x0c0330", "xhci_hcd");
  addRootHub("usb1", "0000:00:14.0", " 2.00", "xHCI Host Controller");
  addRootHub("usb2", "0000:00:14.0", " 3.10", "xHCI Host Controller");
  addUsbDevice("1-2", "usb1", {"0781", "5567", "SanDisk", "Cruzer Blade"});
  addInterface("1-2:1.0", "08", "usb-storage");
  addUsbDevice("1-3", "usb1", {"05e3", "0608", "", "USB2.0 Hub"});
  addInterface("1-3:1.0", "09", "hub");
  addUsbDevice("1-3.1", "1-3", {"0951", "1666", "Kingston", "DataTraveler 3.0"});
  addInterface("1-3.1:1.0", "08", "uas");
  addUsbDevice("1-3.2", "1-3", {"046d", "c31c", "Logitech", "USB Keyboard"});
  addInterface("1-3.2:1.0", "03", "usbhid");
}

void FakeSysfsTree::addPciDevice(const std::string& address, const std::string& vendor,
                                 const std::string& device, const std::string& classCode,
                                 const std::string& driver) {
  const fs::path directory = fs::path(root()) / "devices/pci0000:00" / address;
  writeFile(directory / "vendor", vendor + "\n");
  writeFile(directory / "device", device + "\n");
  writeFile(directory / "class", classCode + "\n");
  bindDriver("pci", directory.string(), driver);
  link("pci", address, directory.string());
}

void FakeSysfsTree::addRootHub(const std::string& name, const std::string& controller,
                               const std::string& version, const std::string& product) {
  const fs::path directory = fs::path(devicePath(controller)) / name;
  writeFile(directory / "idVendor", "1d6b\n");
  writeFile(directory / "idProduct", std::stod(version) >= 3.0 ? "0003\n" : "0002\n");
  writeFile(directory / "version", version + "\n");
  writeFile(directory / "product", product + "\n");
  writeFile(directory / "manufacturer", "Linux 6.1.0-18-amd64 xhci-hcd\n");
  writeFile(directory / "authorized", "1\n");
  bindDriver("usb", directory.string(), "usb");
  link("usb", name, directory.string());
  std::string bus = name.substr(3);
  addInterface(bus + "-0:1.0", "09", "hub");
}

void FakeSysfsTree::addUsbDevice(const std::string& name, const std::string& hub,
                                 const UsbDevice& device) {
  const fs::path directory = fs::path(devicePath(hub)) / name;
  writeFile(directory / "idVendor", device.vendorId + "\n");
  writeFile(directory / "idProduct", device.productId + "\n");
  if (!device.manufacturer.empty())
    writeFile(directory / "manufacturer", device.manufacturer + "\n");
  if (!device.product.empty()) writeFile(directory / "product", device.product + "\n");
  writeFile(directory / "version", " 2.00\n");
  writeFile(directory / "authorized", "1\n");
  bindDriver("usb", directory.string(), "usb");
  link("usb", name, directory.string());
}

void FakeSysfsTree::addInterface(const std::string& name, const std::string& interfaceClass,
                                 const std::string& driver) {
  // A root hub's own interface "1-0:1.0" lives in usb1, as the kernel names it.
  std::string device = name.substr(0, name.find(':'));
  if (device.size() > 2 && device.compare(device.size() - 2, 2, "-0") == 0) {
    device = "usb" + device.substr(0, device.size() - 2);
  }
  const fs::path directory = fs::path(devicePath(device)) / name;
  writeFile(directory / "bInterfaceClass", interfaceClass + "\n");
  writeFile(directory / "authorized", "1\n");
  if (!driver.empty()) bindDriver("usb", directory.string(), driver);
  link("usb", name, directory.string());
}

std::string FakeSysfsTree::devicePath(const std::string& name) const {
  auto found = devices_.find(name);
  if (found == devices_.end()) throw std::invalid_argument("no fake device " + name);
  return found->second;
}

std::string FakeSysfsTree::attribute(const std::string& name, const std::string& file) const {
  return readFile(fs::path(devicePath(name)) / file);
}

void FakeSysfsTree::setAttribute(const std::string& name, const std::string& file,
                                 const std::string& value) {
  removeEntry(name, file);
  writeFile(fs::path(devicePath(name)) / file, value);
}

void FakeSysfsTree::removeEntry(const std::string& name, const std::string& file) {
  fs::remove_all(fs::path(devicePath(name)) / file);
}

void FakeSysfsTree::breakAttribute(const std::string& name, const std::string& file) {
  removeEntry(name, file);
  fs::create_directories(fs::path(devicePath(name)) / file / "broken");
}

void FakeSysfsTree::breakDriversProbe() {
  const fs::path probe = fs::path(root()) / "bus/usb/drivers_probe";
  fs::remove(probe);
  fs::create_directories(probe / "broken");
}

std::string FakeSysfsTree::driversProbe() const {
  return readFile(fs::path(root()) / "bus/usb/drivers_probe");
}

void FakeSysfsTree::link(const std::string& bus, const std::string& name,
                         const std::string& directory) {
  const fs::path linkDirectory = fs::path(root()) / "bus" / bus / "devices";
  fs::create_directory_symlink(fs::relative(directory, linkDirectory), linkDirectory / name);
  devices_[name] = fs::canonical(directory).string();
}

void FakeSysfsTree::bindDriver(const std::string& bus, const std::string& directory,
                               const std::string& driver) {
  const fs::path driverDirectory = fs::path(root()) / "bus" / bus / "drivers" / driver;
  fs::create_directories(driverDirectory);
  fs::create_directory_symlink(fs::relative(driverDirectory, directory),
                               fs::path(directory) / "driver");
}

}  // namespace norvid::testing
