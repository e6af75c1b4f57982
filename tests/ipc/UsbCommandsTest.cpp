#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/EventLogCapture.hpp"
#include "tests/support/FakeSysfsTree.hpp"
#include "ipc/UsbCommands.hpp"

namespace norvid {
namespace {

using nlohmann::json;
using testing::EventLogCapture;
using testing::FakeSysfsTree;
using Lines = std::vector<std::string>;

class UsbCommandsTest : public ::testing::Test {
 protected:
  UsbCommandsTest() { tree.buildStandardMachine(); }

  // Commands over the tree; `modprobe` replaces the tree's policy directory when given.
  UsbCommands& commands(const std::string& modprobe = "") {
    UsbControl::Hooks hooks;
    hooks.triggerAdd = [this](const std::string&) {
      if (triggerThrows) throw std::runtime_error("sin memoria");
      return false;
    };
    hooks.wait = [](std::chrono::milliseconds) {};
    control = std::make_unique<UsbControl>(
        tree.root(), modprobe.empty() ? tree.modprobeDirectory() : modprobe, hooks);
    handlers = std::make_unique<UsbCommands>(*control);
    return *handlers;
  }

  Lines messagesSince(std::size_t mark) const { return log.messagesSince(mark); }

  FakeSysfsTree tree;
  bool triggerThrows = false;
  std::unique_ptr<UsbControl> control;
  std::unique_ptr<UsbCommands> handlers;
  EventLogCapture& log = EventLogCapture::instance();
};

TEST_F(UsbCommandsTest, BlockingThenAllowingStorageShowsInTheStatus) {
  UsbCommands& usb = commands();
  std::size_t mark = log.mark();
  EXPECT_EQ(usb.handleUsbDisable(),
            R"({"command":"usb_disable","message":"Puertos USB de almacenamiento deshabilitados )"
            R"(correctamente","status":"ok","usb_storage_enabled":false})");
  EXPECT_EQ(messagesSince(mark),
            (Lines{"[WRN] USB Storage: puertos deshabilitados (USBSTOR Start=4)",
                   "[WRN] USB Control [disable] | Puertos USB deshabilitados por el usuario"}));

  json blocked = json::parse(usb.handleUsbStatus());
  EXPECT_EQ(blocked["usb_storage_enabled"], false);
  EXPECT_EQ(blocked["devices"][0]["status"], "Almacenamiento bloqueado");

  mark = log.mark();
  EXPECT_EQ(usb.handleUsbEnable(),
            R"({"command":"usb_enable","message":"Puertos USB de almacenamiento habilitados )"
            R"(correctamente","status":"ok","usb_storage_enabled":true})");
  EXPECT_EQ(messagesSince(mark),
            (Lines{"[INF] USB Storage: puertos habilitados (USBSTOR Start=3)",
                   "[INF] USB Control [enable] | Puertos USB habilitados por el usuario"}));

  json allowed = json::parse(usb.handleUsbStatus());
  EXPECT_EQ(allowed["status"], "ok");
  EXPECT_EQ(allowed["command"], "usb_status");
  EXPECT_EQ(allowed["usb_storage_enabled"], true);
  EXPECT_EQ(allowed["connected_devices"], 5);
  ASSERT_EQ(allowed["devices"].size(), 5u);
  EXPECT_EQ(allowed["devices"][0]["status"], "Almacenamiento permitido");
}

TEST_F(UsbCommandsTest, AFailedPolicyChangeAnswersItsOwnError) {
  const std::string unwritable = tree.scratch().write("file", "x") + "/modprobe.d";
  std::size_t mark = log.mark();
  EXPECT_EQ(commands(unwritable).handleUsbDisable(),
            R"({"command":"usb_disable","message":"No se pudieron deshabilitar los puertos USB",)"
            R"("status":"error","usb_storage_enabled":true})");
  EXPECT_EQ(messagesSince(mark),
            (Lines{"[ERR] USB Storage: no se pudo abrir clave USBSTOR para escritura (error 20)",
                   "[ERR] USB Storage: fallo al deshabilitar puertos"}));

  tree.scratch().write("modprobe.d/norvid-usb-storage.conf/inside", "x");
  mark = log.mark();
  EXPECT_EQ(commands().handleUsbEnable(),
            R"({"command":"usb_enable","message":"No se pudieron habilitar los puertos USB",)"
            R"("status":"error","usb_storage_enabled":false})");
  EXPECT_EQ(messagesSince(mark),
            (Lines{"[ERR] USB Storage: no se pudo escribir valor Start (error 39)",
                   "[ERR] USB Storage: fallo al habilitar puertos"}));
}

TEST_F(UsbCommandsTest, ListsDevicesWithAllTheirMembers) {
  json listing = json::parse(commands().handleUsbListDevices());
  EXPECT_EQ(listing["status"], "ok");
  EXPECT_EQ(listing["command"], "usb_list_devices");
  EXPECT_EQ(listing["count"], 5);
  ASSERT_EQ(listing["devices"].size(), 5u);
  EXPECT_EQ(listing["devices"][3],
            (json{{"device_id", R"(USBSTOR\DISK&VEN_SanDisk&PROD_Cruzer_Blade\1-2:1.0)"},
                  {"manufacturer", "SanDisk"},
                  {"name", "[STORAGE] Cruzer Blade"},
                  {"pid", ""},
                  {"status", "Activo"},
                  {"vid", ""}}));

  FakeSysfsTree empty;
  UsbControl nothing(empty.root(), empty.modprobeDirectory());
  UsbCommands bare(nothing);
  EXPECT_EQ(bare.handleUsbListDevices(),
            R"({"command":"usb_list_devices","count":0,"devices":[],"status":"ok"})");
  EXPECT_EQ(bare.handleUsbStatus(),
            R"({"command":"usb_status","connected_devices":0,"devices":[],"status":"ok",)"
            R"("usb_storage_enabled":true})");
}

TEST_F(UsbCommandsTest, PortCommandsNeedADeviceIdentifier) {
  UsbCommands& usb = commands();
  std::size_t mark = log.mark();
  EXPECT_EQ(usb.handleUsbDisablePort(""), R"({"error":"Se requiere device_id","status":"error"})");
  EXPECT_EQ(usb.handleUsbEnablePort(""), R"({"error":"Se requiere device_id","status":"error"})");
  EXPECT_TRUE(messagesSince(mark).empty());
  EXPECT_EQ(tree.attribute("1-2", "authorized"), "1\n");
}

TEST_F(UsbCommandsTest, PortCommandsAnswerTheOutcome) {
  UsbCommands& usb = commands();
  EXPECT_EQ(usb.handleUsbDisablePort(R"(USBSTOR\DISK&VEN_SanDisk&PROD_Cruzer_Blade\1-2:1.0)"),
            R"({"command":"usb_disable_port","disabled_device_id":"USB\\VID_0781&PID_5567\\1-2",)"
            R"("message":"Dispositivo USB deshabilitado correctamente","status":"ok"})");
  EXPECT_EQ(tree.attribute("1-2", "authorized"), "0\n");
  EXPECT_EQ(usb.handleUsbEnablePort(R"(USB\VID_0781&PID_5567\1-2)"),
            R"({"command":"usb_enable_port","message":"Dispositivo USB habilitado correctamente",)"
            R"("status":"ok"})");
  EXPECT_EQ(tree.attribute("1-2", "authorized"), "1\n");

  EXPECT_EQ(usb.handleUsbDisablePort(R"(USB\VID_0781&PID_5567\1-9)"),
            R"({"command":"usb_disable_port","message":"No se pudo deshabilitar el dispositivo )"
            R"(USB","status":"error"})");
  EXPECT_EQ(usb.handleUsbEnablePort(R"(USB\VID_0781&PID_5567\1-9)"),
            R"({"command":"usb_enable_port","message":"No se pudo habilitar el dispositivo USB",)"
            R"("status":"error"})");
}

TEST_F(UsbCommandsTest, AnExceptionInsideAHandlerAnswersTheErrorEnvelope) {
  tree.breakAttribute("1-2", "authorized");
  tree.breakDriversProbe();
  triggerThrows = true;
  EXPECT_EQ(commands().handleUsbEnablePort(R"(USB\VID_0781&PID_5567\1-2)"),
            R"({"error":"Error habilitando puerto: sin memoria","status":"error"})");
}

}  // namespace
}  // namespace norvid
