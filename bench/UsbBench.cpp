// Prints the cost of USB listing, status and per-device disable/enable on a fake sysfs tree with
// many devices, so that the sysfs reads per command stay visible.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/FakeSysfsTree.hpp"
#include "ipc/UsbCommands.hpp"
#include "usb/UsbControl.hpp"

namespace {

using norvid::testing::FakeSysfsTree;

double microsecondsPer(std::chrono::steady_clock::time_point start, int rounds) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
             .count() /
         rounds;
}

// Two controllers with two root hubs each; on every bus `perBus` flash drives and as many
// keyboards behind an external hub.
void buildMachine(FakeSysfsTree& tree, int perBus) {
  tree.addPciDevice("0000:00:14.0", "0x8086", "0xa36d", "0x0c0330", "xhci_hcd");
  tree.addPciDevice("0000:00:15.0", "0x8086", "0xa36d", "0x0c0330", "xhci_hcd");
  for (int bus = 1; bus <= 4; ++bus) {
    std::string hub = "usb" + std::to_string(bus);
    tree.addRootHub(hub, bus <= 2 ? "0000:00:14.0" : "0000:00:15.0", bus % 2 ? " 2.00" : " 3.00",
                    "xHCI Host Controller");
    std::string external = std::to_string(bus) + "-1";
    tree.addUsbDevice(external, hub, {"05e3", "0608", "", "USB2.0 Hub"});
    tree.addInterface(external + ":1.0", "09", "hub");
    for (int port = 0; port < perBus; ++port) {
      std::string drive = std::to_string(bus) + "-" + std::to_string(port + 2);
      tree.addUsbDevice(drive, hub, {"0781", "5567", "SanDisk", "Cruzer Blade"});
      tree.addInterface(drive + ":1.0", "08", "usb-storage");
      std::string keyboard = external + "." + std::to_string(port + 1);
      tree.addUsbDevice(keyboard, external, {"046d", "c31c", "Logitech", "USB Keyboard"});
      tree.addInterface(keyboard + ":1.0", "03", "usbhid");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int perBus = argc > 1 ? std::atoi(argv[1]) : 16;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 50;
  FakeSysfsTree tree;
  buildMachine(tree, perBus);
  norvid::UsbControl::Hooks hooks;
  hooks.wait = [](std::chrono::milliseconds) {};
  hooks.triggerAdd = [](const std::string&) { return false; };
  norvid::UsbControl control(tree.root(), tree.modprobeDirectory(), hooks);
  norvid::UsbCommands commands(control);

  std::size_t listed = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) listed = control.listDevices().size();
  std::printf("devices in tree: %d USB + %d interfaces, listed: %zu\n", 4 + 4 * (1 + 2 * perBus),
              4 * (2 + 2 * perBus), listed);
  std::printf("listDevices:        %10.1f us\n", microsecondsPer(start, rounds));

  start = std::chrono::steady_clock::now();
  std::size_t bytes = 0;
  for (int i = 0; i < rounds; ++i) bytes = commands.handleUsbStatus().size();
  std::printf("usb_status:         %10.1f us (%zu bytes)\n", microsecondsPer(start, rounds), bytes);

  const std::string last = "4-" + std::to_string(perBus + 1);
  const std::string storage = "USBSTOR\\DISK&VEN_SanDisk&PROD_Cruzer_Blade\\" + last + ":1.0";
  const std::string device = "USB\\VID_0781&PID_5567\\" + last;
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) {
    if (control.disableDevice(storage) != device || !control.enableDevice(device)) {
      std::fprintf(stderr, "disable/enable failed\n");
      return 1;
    }
  }
  std::printf("disable+enable:     %10.1f us (last device of the last bus)\n",
              microsecondsPer(start, rounds));

  start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) control.disableDevice("USB\\VID_0781&PID_5567\\9-99");
  std::printf("disable unknown id: %10.1f us\n", microsecondsPer(start, rounds));

  start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) control.disableUsbStorage() && control.enableUsbStorage();
  std::printf("block+allow policy: %10.1f us (atomic write with fsync, then remove)\n",
              microsecondsPer(start, rounds));
  return 0;
}
