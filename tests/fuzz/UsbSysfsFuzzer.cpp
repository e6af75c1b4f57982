// Reads a USB device tree whose attributes come from the input, as usb_list_devices and the
// device commands do. A device's strings and descriptor values are chosen by whoever built the
// device, so a hostile stick hands the service whatever it likes there.
//
// The input is split at NUL bytes into, in order: the flash drive's idVendor, idProduct,
// manufacturer and product, its interface's bInterfaceClass, the second root hub's version, the
// xHCI controller's PCI class and the content of the storage policy file. Missing fields keep the
// standard machine's values. Every listed text must be valid UTF-8 (the answer is JSON), a USB
// device's vendor and product ids four upper-case hex digits, and every identifier the backend
// lists must lead back to its own device, since disabling and enabling find devices by it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/fuzz/FuzzCheck.hpp"
#include "tests/fuzz/FuzzEntry.hpp"
#include "tests/support/FakeSysfsTree.hpp"
#include "usb/UsbBackend.hpp"
#include "usb/UsbControl.hpp"
#include "usb/UsbDeviceInfo.hpp"

namespace {

using norvid::fuzzing::require;
using norvid::testing::FakeSysfsTree;

struct Field {
  const char* device;  // bus member name, or "" for the policy file
  const char* file;
};

const Field kFields[] = {
    {"1-2", "idVendor"},
    {"1-2", "idProduct"},
    {"1-2", "manufacturer"},
    {"1-2", "product"},
    {"1-2:1.0", "bInterfaceClass"},
    {"usb2", "version"},
    {"0000:00:14.0", "class"},
    {"", "norvid-usb-storage.conf"},
};

bool isUtf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

bool isUpperHex(const std::string& text) {
  if (text.size() != 4) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

class UsbSysfsHarness {
 public:
  UsbSysfsHarness() {
    tree_.buildStandardMachine();
    for (const Field& field : kFields) {
      standard_.push_back(*field.device != '\0' ? tree_.attribute(field.device, field.file) : "");
    }
    backend_ = norvid::createUsbBackend(tree_.root(), tree_.modprobeDirectory());
    control_ = std::make_unique<norvid::UsbControl>(tree_.root(), tree_.modprobeDirectory());
  }

  void run(const std::string& bytes) {
    setFields(bytes);

    for (const norvid::UsbDeviceInfo& info : control_->listDevices()) {
      for (const std::string* text :
           {&info.device_id, &info.name, &info.manufacturer, &info.vid, &info.pid, &info.status}) {
        require(isUtf8(*text), "listed texts are UTF-8");
      }
      if (info.device_id.rfind("USB\\VID_", 0) == 0) {
        require(isUpperHex(info.vid) && isUpperHex(info.pid), "USB ids are four hex digits");
      }
    }
    for (const char* enumerator : {"USB", "USBSTOR", "PCI"}) {
      for (const norvid::UsbDeviceNode& node : backend_->devices(enumerator)) {
        const norvid::platform::Result<norvid::UsbDeviceNode> found = backend_->locate(node.id);
        require(found.ok() && found->location == node.location,
                "a listed identifier locates its own device");
      }
    }
  }

 private:
  // Field i of the input, or the standard value when the input has fewer fields.
  void setFields(const std::string& bytes) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < std::size(kFields); ++i) {
      std::string value = standard_[i];
      if (start <= bytes.size()) {
        const std::size_t end = std::min(bytes.find('\0', start), bytes.size());
        value = bytes.substr(start, end - start);
        start = end + 1;
      }
      if (*kFields[i].device == '\0') {
        writePolicy(value);
      } else {
        tree_.setAttribute(kFields[i].device, kFields[i].file, value);
      }
    }
  }

  void writePolicy(const std::string& content) {
    const std::string path = tree_.modprobeDirectory() + "/" + kFields[7].file;
    std::remove(path.c_str());
    if (content.empty()) return;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    require(file != nullptr, "the policy file can be written");
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
  }

  FakeSysfsTree tree_;
  std::vector<std::string> standard_;
  std::unique_ptr<norvid::UsbBackend> backend_;
  std::unique_ptr<norvid::UsbControl> control_;
};

}  // namespace

NORVID_FUZZ_HARNESS(UsbSysfsHarness)
