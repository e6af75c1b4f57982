#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/EventLogCapture.hpp"
#include "tests/support/FakeSysfsTree.hpp"
#include "tests/support/TempDir.hpp"
#include "usb/UsbControl.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using testing::EventLogCapture;
using testing::FakeSysfsTree;
using Lines = std::vector<std::string>;

const char* const kBlockingPolicy =
    "# Written by Norvid Shield while USB mass storage is blocked; removed when it is allowed.\n"
    "install usb-storage /bin/false\n"
    "install uas /bin/false\n";

const char* const kSanDisk = "USB\\VID_0781&PID_5567\\1-2";
const char* const kSanDiskStorage = "USBSTOR\\DISK&VEN_SanDisk&PROD_Cruzer_Blade\\1-2:1.0";
const char* const kKingston = "USB\\VID_0951&PID_1666\\1-3.1";
const char* const kKingstonStorage = "USBSTOR\\DISK&VEN_Kingston&PROD_DataTraveler_3.0\\1-3.1:1.0";

std::vector<Lines> rowsOf(const std::vector<UsbDeviceInfo>& devices) {
  std::vector<Lines> rows;
  for (const UsbDeviceInfo& d : devices) {
    rows.push_back({d.device_id, d.name, d.manufacturer, d.vid, d.pid, d.status});
  }
  return rows;
}

// What the replaced enable steps saw, and what they do.
struct EnableSteps {
  bool triggerSucceeds = false;
  std::function<void()> duringWait;
  Lines triggered;
  std::vector<std::chrono::milliseconds> waits;

  UsbControl::Hooks hooks() {
    UsbControl::Hooks hooks;
    hooks.triggerAdd = [this](const std::string& syspath) {
      triggered.push_back(syspath);
      return triggerSucceeds;
    };
    hooks.wait = [this](std::chrono::milliseconds duration) {
      waits.push_back(duration);
      if (duringWait) duringWait();
    };
    return hooks;
  }
};

class UsbControlTest : public ::testing::Test {
 public:
  void SetUp() override { reset(true); }

  // Starts over on a new tree (the standard machine or an empty one) with fresh enable steps.
  void reset(bool standardMachine) {
    tree = std::make_unique<FakeSysfsTree>();
    if (standardMachine) tree->buildStandardMachine();
    steps = EnableSteps();
  }

  UsbControl control(const std::string& modprobe = "") {
    return UsbControl(tree->root(), modprobe.empty() ? tree->modprobeDirectory() : modprobe,
                      steps.hooks());
  }

  std::string policyFile() const { return tree->modprobeDirectory() + "/norvid-usb-storage.conf"; }

  // `authorized` of every USB device and interface of the standard machine.
  std::map<std::string, std::string> authorizations() const {
    std::map<std::string, std::string> values;
    for (const char* name : {"usb1", "usb2", "1-2", "1-2:1.0", "1-3", "1-3:1.0", "1-3.1",
                             "1-3.1:1.0", "1-3.2", "1-3.2:1.0"}) {
      values[name] = tree->attribute(name, "authorized");
    }
    return values;
  }

  std::unique_ptr<FakeSysfsTree> tree;
  EnableSteps steps;
  EventLogCapture& log = EventLogCapture::instance();
};

TEST_F(UsbControlTest, ReadsTheStoragePolicyFromTheModprobeFile) {
  struct Case {
    const char* label;
    std::function<std::string(UsbControlTest&)> prepare;  // returns the modprobe directory
    std::uint32_t start;
    const char* listedPolicy;
    Lines messages;
  };
  const std::vector<Case> cases = {
      {"absent", [](UsbControlTest&) { return std::string(); }, 3, "Almacenamiento permitido", {}},
      {"blocked",
       [](UsbControlTest& t) {
         t.tree->scratch().write("modprobe.d/norvid-usb-storage.conf", kBlockingPolicy);
         return std::string();
       },
       4,
       "Almacenamiento bloqueado",
       {}},
      {"blocking lines spaced out among others",
       [](UsbControlTest& t) {
         t.tree->scratch().write("modprobe.d/norvid-usb-storage.conf",
                                 "options foo bar=1\n  install\tuas  /bin/false \ninstall "
                                 "usb-storage /bin/false");
         return std::string();
       },
       4,
       "Almacenamiento bloqueado",
       {}},
      {"holds only one of the two lines",
       [](UsbControlTest& t) {
         t.tree->scratch().write("modprobe.d/norvid-usb-storage.conf",
                                 "install usb-storage /bin/false\n");
         return std::string();
       },
       0,
       "Almacenamiento bloqueado",
       {}},
      {"policy path is a directory",
       [](UsbControlTest& t) {
         t.tree->scratch().write("modprobe.d/norvid-usb-storage.conf/inside", "x");
         return std::string();
       },
       3,
       "Almacenamiento permitido",
       {"[ERR] USB Storage: no se pudo leer valor Start (error 21)"}},
      {"modprobe directory is a regular file",
       [](UsbControlTest& t) { return t.tree->scratch().write("not-a-directory", "x"); },
       3,
       "Almacenamiento permitido",
       {"[ERR] USB Storage: no se pudo abrir clave USBSTOR (error 20)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    reset(true);
    std::string modprobe = c.prepare(*this);
    UsbControl usb = control(modprobe);

    std::size_t mark = log.mark();
    EXPECT_EQ(usb.readUsbStorStart(), c.start);
    EXPECT_EQ(log.messagesSince(mark), c.messages);
    EXPECT_EQ(usb.isUsbStorageEnabled(), c.start == 3);

    std::vector<UsbDeviceInfo> devices = usb.listDevices();
    ASSERT_EQ(devices.size(), 5u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(devices[i].status, c.listedPolicy);
    EXPECT_EQ(devices[3].status, "Activo");
  }
}

TEST_F(UsbControlTest, BlockingWritesThePolicyFileAndAllowingRemovesIt) {
  UsbControl usb = control();
  std::size_t mark = log.mark();
  ASSERT_TRUE(usb.disableUsbStorage());
  EXPECT_EQ(testing::readFile(policyFile()), kBlockingPolicy);
  EXPECT_FALSE(usb.isUsbStorageEnabled());
  ASSERT_TRUE(usb.enableUsbStorage());
  EXPECT_FALSE(fs::exists(policyFile()));
  EXPECT_TRUE(usb.isUsbStorageEnabled());
  ASSERT_TRUE(usb.enableUsbStorage()) << "allowing twice is not an error";
  EXPECT_EQ(log.messagesSince(mark),
            (Lines{"[WRN] USB Storage: puertos deshabilitados (USBSTOR Start=4)",
                   "[INF] USB Storage: puertos habilitados (USBSTOR Start=3)",
                   "[INF] USB Storage: puertos habilitados (USBSTOR Start=3)"}));
  EXPECT_EQ(
      std::distance(fs::directory_iterator(tree->modprobeDirectory()), fs::directory_iterator()),
      0);
}

TEST_F(UsbControlTest, FailedPolicyWritesAreReportedAndChangeNothing) {
  struct Case {
    const char* label;
    std::function<std::string(UsbControlTest&)> prepare;  // returns the modprobe directory
    bool block;
    Lines messages;
  };
  const std::vector<Case> cases = {
      {"directory below a regular file",
       [](UsbControlTest& t) { return t.tree->scratch().write("file", "x") + "/modprobe.d"; },
       true,
       {"[ERR] USB Storage: no se pudo abrir clave USBSTOR para escritura (error 20)",
        "[ERR] USB Storage: fallo al deshabilitar puertos"}},
      {"missing directory",
       [](UsbControlTest& t) { return t.tree->scratch().str() + "/missing"; },
       true,
       {"[ERR] USB Storage: no se pudo abrir clave USBSTOR para escritura (error 2)",
        "[ERR] USB Storage: fallo al deshabilitar puertos"}},
      {"policy path is a directory, blocking",
       [](UsbControlTest& t) {
         t.tree->scratch().write("modprobe.d/norvid-usb-storage.conf/inside", "x");
         return std::string();
       },
       true,
       {"[ERR] USB Storage: no se pudo escribir valor Start (error 21)",
        "[ERR] USB Storage: fallo al deshabilitar puertos"}},
      {"policy path is a directory, allowing",
       [](UsbControlTest& t) {
         t.tree->scratch().write("modprobe.d/norvid-usb-storage.conf/inside", "x");
         return std::string();
       },
       false,
       {"[ERR] USB Storage: no se pudo escribir valor Start (error 39)",
        "[ERR] USB Storage: fallo al habilitar puertos"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    reset(false);
    std::string modprobe = c.prepare(*this);
    UsbControl usb = control(modprobe);
    std::size_t mark = log.mark();
    EXPECT_FALSE(c.block ? usb.disableUsbStorage() : usb.enableUsbStorage());
    EXPECT_EQ(log.messagesSince(mark), c.messages);
    // No temporary file is left behind beside the policy path.
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(tree->modprobeDirectory(), ignored)) {
      EXPECT_EQ(entry.path().filename(), "norvid-usb-storage.conf");
    }
  }
}

TEST_F(UsbControlTest, OnlyTheTwoKnownStartValuesCanBeWritten) {
  UsbControl usb = control();
  std::size_t mark = log.mark();
  EXPECT_FALSE(usb.writeUsbStorStart(2));
  EXPECT_EQ(log.messagesSince(mark),
            (Lines{"[ERR] USB Storage: no se pudo escribir valor Start (error 22)"}));
  EXPECT_FALSE(fs::exists(policyFile()));
}

TEST_F(UsbControlTest, ListsRootHubsThenControllersThenStorage) {
  std::size_t mark = log.mark();
  EXPECT_EQ(rowsOf(control().listDevices()),
            (std::vector<Lines>{
                {"USB\\ROOT_HUB20\\usb1", "xHCI Host Controller", "Linux 6.1.0-18-amd64 xhci-hcd",
                 "", "", "Almacenamiento permitido"},
                {"USB\\ROOT_HUB30\\usb2", "xHCI Host Controller", "Linux 6.1.0-18-amd64 xhci-hcd",
                 "", "", "Almacenamiento permitido"},
                {"PCI\\VEN_8086&DEV_A36D\\0000:00:14.0", "USB controller (xHCI)", "", "", "",
                 "Almacenamiento permitido"},
                {kSanDiskStorage, "[STORAGE] Cruzer Blade", "SanDisk", "", "", "Activo"},
                {kKingstonStorage, "[STORAGE] DataTraveler 3.0", "Kingston", "", "", "Activo"},
            }));
  EXPECT_TRUE(log.messagesSince(mark).empty());
  EXPECT_EQ(
      control().getDeviceIdList("USB"),
      (Lines{kSanDisk, "USB\\VID_05E3&PID_0608\\1-3", kKingston, "USB\\VID_046D&PID_C31C\\1-3.2",
             "USB\\ROOT_HUB20\\usb1", "USB\\ROOT_HUB30\\usb2"}));
  EXPECT_TRUE(control().getDeviceIdList("HID").empty());
}

TEST_F(UsbControlTest, ListingOrdersBusesByNumberAndToleratesAnEmptyTree) {
  FakeSysfsTree empty;
  EXPECT_TRUE(UsbControl(empty.root(), empty.modprobeDirectory()).listDevices().empty());
  EXPECT_TRUE(UsbControl("/nonexistent/sys", empty.modprobeDirectory()).listDevices().empty());

  FakeSysfsTree buses;
  buses.addPciDevice("0000:00:14.0", "0x8086", "0xa36d", "0x0c0320", "ehci-pci");
  buses.addRootHub("usb10", "0000:00:14.0", " 2.00", "EHCI Host Controller");
  buses.addRootHub("usb9", "0000:00:14.0", " 2.00", "EHCI Host Controller");
  std::vector<UsbDeviceInfo> devices =
      UsbControl(buses.root(), buses.modprobeDirectory()).listDevices();
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].device_id, "USB\\ROOT_HUB20\\usb9");
  EXPECT_EQ(devices[1].device_id, "USB\\ROOT_HUB20\\usb10");
  EXPECT_EQ(devices[2].name, "USB controller (EHCI)");
}

TEST_F(UsbControlTest, StorageStatusAndNameFollowTheDevice) {
  struct Case {
    const char* label;
    std::function<void(FakeSysfsTree&)> change;
    const char* id;
    const char* name;
    const char* status;
  };
  const std::vector<Case> cases = {
      {"authorised and bound", [](FakeSysfsTree&) {}, kSanDiskStorage, "[STORAGE] Cruzer Blade",
       "Activo"},
      {"not authorised", [](FakeSysfsTree& t) { t.setAttribute("1-2:1.0", "authorized", "0\n"); },
       kSanDiskStorage, "[STORAGE] Cruzer Blade", "Inactivo"},
      {"no driver", [](FakeSysfsTree& t) { t.removeEntry("1-2:1.0", "driver"); }, kSanDiskStorage,
       "[STORAGE] Cruzer Blade", "Inactivo"},
      {"authorisation unreadable",
       [](FakeSysfsTree& t) { t.breakAttribute("1-2:1.0", "authorized"); }, kSanDiskStorage,
       "[STORAGE] Cruzer Blade", "Desconocido"},
      {"no product string", [](FakeSysfsTree& t) { t.removeEntry("1-2", "product"); },
       "USBSTOR\\DISK&VEN_SanDisk&PROD_\\1-2:1.0", "[STORAGE] USB mass storage device", "Activo"},
      {"product string not UTF-8",
       [](FakeSysfsTree& t) { t.setAttribute("1-2", "product", "Cruz\xff\xfe\n"); },
       "USBSTOR\\DISK&VEN_SanDisk&PROD_\\1-2:1.0", "[STORAGE] USB mass storage device", "Activo"},
      {"odd characters in the vendor",
       [](FakeSysfsTree& t) { t.setAttribute("1-2", "manufacturer", "San\\Disk, Inc.\n"); },
       "USBSTOR\\DISK&VEN_San_Disk__Inc.&PROD_Cruzer_Blade\\1-2:1.0", "[STORAGE] Cruzer Blade",
       "Activo"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    reset(true);
    c.change(*tree);
    std::vector<UsbDeviceInfo> devices = control().listDevices();
    ASSERT_EQ(devices.size(), 5u);
    EXPECT_EQ(devices[3].device_id, c.id);
    EXPECT_EQ(devices[3].name, c.name);
    EXPECT_EQ(devices[3].status, c.status);
  }
}

TEST_F(UsbControlTest, VendorAndProductAreTakenFromTheIdentifier) {
  struct Case {
    const char* id;
    const char* vid;
    const char* pid;
  };
  const std::vector<Case> cases = {
      {"USB\\VID_0781&PID_5567\\1-2", "0781", "5567"},
      {"USB\\PID_ABCD&VID_1234", "1234", "ABCD"},
      {"USB\\VID_1234", "1234", ""},
      {"USB\\VID_123", "", ""},
      {"USB\\VID_12", "", ""},
      {"USB\\VID_", "", ""},
      {"USB\\vid_1234&pid_5678", "", ""},
      {"USB\\ROOT_HUB30\\usb2", "", ""},
      {"", "", ""},
  };
  UsbControl usb = control();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    UsbDeviceInfo info = usb.getDeviceInfo({c.id, "USB", tree->devicePath("1-2")});
    EXPECT_EQ(info.device_id, c.id);
    EXPECT_EQ(info.vid, c.vid);
    EXPECT_EQ(info.pid, c.pid);
    EXPECT_EQ(info.name, "Cruzer Blade");
    EXPECT_EQ(info.manufacturer, "SanDisk");
  }
}

TEST_F(UsbControlTest, DisablesTheNamedDeviceOrTheDeviceOfAStorageInterface) {
  struct Case {
    const char* requested;
    const char* disabled;
    const char* deauthorised;  // the only sysfs node whose `authorized` changes
  };
  const std::vector<Case> cases = {
      {kSanDiskStorage, kSanDisk, "1-2"},
      {kKingstonStorage, kKingston, "1-3.1"},
      {kKingston, kKingston, "1-3.1"},
      {"usb\\vid_0781&pid_5567\\1-2", kSanDisk, "1-2"},
      {"USB\\VID_05E3&PID_0608\\1-3", "USB\\VID_05E3&PID_0608\\1-3", "1-3"},
      {"USB\\ROOT_HUB30\\usb2", "USB\\ROOT_HUB30\\usb2", "usb2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requested);
    reset(true);
    std::map<std::string, std::string> expected = authorizations();
    expected[c.deauthorised] = "0\n";

    std::size_t mark = log.mark();
    EXPECT_EQ(control().disableDevice(c.requested), c.disabled);
    EXPECT_EQ(log.messagesSince(mark),
              (Lines{std::string("[WRN] USB: dispositivo deshabilitado - ") + c.disabled}));
    EXPECT_EQ(authorizations(), expected);
  }
}

TEST_F(UsbControlTest, IdentifiersThatNameNoListedDeviceDisableNothing) {
  const std::string realPath = tree->devicePath("1-2");
  const Lines ids = {
      "USB\\VID_0781&PID_5567\\1-9",
      "USB\\VID_FFFF&PID_5567\\1-2",
      "USB\\VID_0781&PID_5567\\1-2:1.0",
      "USBSTOR\\DISK&VEN_SanDisk&PROD_Cruzer_Blade\\1-2",
      "USB\\VID_0781&PID_5567\\../1-2",
      "USB\\VID_0781&PID_5567\\1-3/../1-2",
      "USB\\VID_0781&PID_5567\\",
      "PCI\\VEN_8086&DEV_A36D\\..",
      "../../../devices/pci0000:00/0000:00:14.0/usb1/1-2",
      "/sys/bus/usb/devices/1-2",
      realPath,
      "1-2",
      "HID\\VID_0781&PID_5567\\1-2",
  };
  const std::map<std::string, std::string> before = authorizations();
  for (const std::string& id : ids) {
    SCOPED_TRACE(id);
    std::size_t mark = log.mark();
    EXPECT_EQ(control().disableDevice(id), "");
    EXPECT_EQ(log.messagesSince(mark),
              (Lines{"[ERR] USB disableDevice: no se encontro nodo para " + id + " (error 2)"}));
  }
  EXPECT_EQ(authorizations(), before);
}

TEST_F(UsbControlTest, ControlCharactersOfAnIdentifierCannotForgeLogLines) {
  std::size_t mark = log.mark();
  EXPECT_EQ(control().disableDevice("x\n2025-01-01 [ERR] forged\r"), "");
  EXPECT_EQ(log.messagesSince(mark),
            (Lines{"[ERR] USB disableDevice: no se encontro nodo para x?2025-01-01 [ERR] forged? "
                   "(error 2)"}));
}

TEST_F(UsbControlTest, AFailedDisableIsReported) {
  struct Case {
    const char* id;
    const char* target;
    int error;
  };
  tree->breakAttribute("1-2", "authorized");
  const std::vector<Case> cases = {
      {kSanDiskStorage, kSanDisk, 21},
      {"PCI\\VEN_8086&DEV_A36D\\0000:00:14.0", "PCI\\VEN_8086&DEV_A36D\\0000:00:14.0", 95},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    std::size_t mark = log.mark();
    EXPECT_EQ(control().disableDevice(c.id), "");
    EXPECT_EQ(log.messagesSince(mark),
              (Lines{std::string("[ERR] USB disableDevice: fallo CM_Disable_DevNode para ") +
                     c.target + " (error " + std::to_string(c.error) + ")"}));
  }
}

TEST_F(UsbControlTest, EnableFallsBackFromAuthorisationToReprobeToUdev) {
  struct Case {
    const char* label;
    std::function<void(UsbControlTest&)> prepare;
    std::string id;
    bool enabled;
    Lines messages;
    bool waited;
    bool triggered;
  };
  const std::string id = kSanDisk;
  const std::string enableFailed =
      "[WRN] USB enableDevice: CM_Enable_DevNode fallo (error 21), intentando re-enumerar "
      "padre...";
  const std::string usingUdev = "[WRN] USB enableDevice: APIs fallaron, usando pnputil para " + id;
  const std::string allFailed = "[ERR] USB enableDevice: todos los metodos fallaron para " + id;
  const std::vector<Case> cases = {
      {"authorised again",
       [](UsbControlTest& t) { t.tree->setAttribute("1-2", "authorized", "0\n"); },
       id,
       true,
       {"[INF] USB: dispositivo habilitado via CM_Enable - " + id},
       false,
       false},
      {"authorised by the time of the second lookup",
       [](UsbControlTest& t) {
         t.tree->breakAttribute("1-2", "authorized");
         t.steps.duringWait = [&t] { t.tree->setAttribute("1-2", "authorized", "1\n"); };
       },
       id,
       true,
       {enableFailed, "[INF] USB: dispositivo habilitado via re-enumeracion - " + id},
       true,
       false},
      {"found again but still not authorised, udev succeeds",
       [](UsbControlTest& t) {
         t.tree->breakAttribute("1-2", "authorized");
         t.steps.triggerSucceeds = true;
       },
       id,
       true,
       {enableFailed, usingUdev, "[INF] USB: dispositivo habilitado via pnputil - " + id},
       true,
       true},
      {"reprobe cannot be written, udev fails",
       [](UsbControlTest& t) {
         t.tree->breakAttribute("1-2", "authorized");
         t.tree->breakDriversProbe();
       },
       id,
       false,
       {enableFailed, usingUdev, allFailed},
       false,
       true},
      {"unknown device runs nothing",
       [](UsbControlTest&) {},
       "USB\\VID_0781&PID_5567\\1-7",
       false,
       {"[ERR] USB enableDevice: todos los metodos fallaron para USB\\VID_0781&PID_5567\\1-7"},
       false,
       false},
      {"shell text runs nothing",
       [](UsbControlTest& t) { t.steps.triggerSucceeds = true; },
       "1-2\"; touch /tmp/norvid-pwned; \"",
       false,
       {"[ERR] USB enableDevice: todos los metodos fallaron para 1-2\"; touch /tmp/norvid-pwned; "
        "\""},
       false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    reset(true);
    c.prepare(*this);

    std::size_t mark = log.mark();
    EXPECT_EQ(control().enableDevice(c.id), c.enabled);
    EXPECT_EQ(log.messagesSince(mark), c.messages);
    EXPECT_EQ(steps.waits,
              c.waited ? std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(1500)}
                       : std::vector<std::chrono::milliseconds>{});
    EXPECT_EQ(steps.triggered, c.triggered ? Lines{tree->devicePath("1-2")} : Lines{});
    if (c.waited) {
      EXPECT_EQ(tree->driversProbe(), "1-2");
    }
  }
}

}  // namespace
}  // namespace norvid
