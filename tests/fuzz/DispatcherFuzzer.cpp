// Feeds request texts to the service core's dispatcher, as the socket would hand them over.
//
// The core is built once, without rules, so the engine, the exclusion list and the scheduler are
// absent and their commands answer their errors. Everything it may touch lies in the workspace:
// the data directory, a small fake sysfs tree and modprobe directory for the USB commands, the
// temporary directory, and an "inbox" with a file that requests may quarantine. The text "@inbox/"
// in a request stands for the inbox's path, so that seeds can name it. Requests come from an
// unprivileged caller, so a path that names a file elsewhere on the machine is refused before
// anything is moved. Before every run the quarantine store, the inbox, the storage policy and the
// device tree are put back as they were, so that each input meets the same state. Every answer
// must be one JSON object whose "status" is "ok" or "error".

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/IPCServer.hpp"
#include "ipc/ServiceConfiguration.hpp"
#include "platform/CallerIdentity.hpp"
#include "quarantine/QuarantineManager.hpp"
#include "tests/fuzz/FuzzCheck.hpp"
#include "tests/fuzz/FuzzEntry.hpp"
#include "tests/fuzz/FuzzWorkspace.hpp"

namespace {

namespace fs = std::filesystem;
using norvid::fuzzing::FuzzWorkspace;
using norvid::fuzzing::require;

// The transport hands over at most this many bytes and never an empty message.
constexpr std::size_t kMaxRequestSize = 4096;
constexpr const char* kStoredId = "0f0f0f0f-1234-5678-9abc-def012345678";
constexpr std::string_view kInboxMarker = "@inbox/";
constexpr const char* kSampleContent = "MZ fuzz sample: not a real executable\n";
constexpr std::uint32_t kAdministratorGroup = 65534;  // "nogroup"
constexpr std::uint32_t kUsersGroup = 100;

void setVariable(const char* name, const std::string& value) {
  if (::setenv(name, value.c_str(), 1) != 0) std::abort();
}

class DispatcherHarness {
 public:
  DispatcherHarness() : workspace_("dispatcher") {
    workspace_.redirectTemporaryDirectory();
    paths_.exeDir = workspace_.freshDirectory("exe");
    workspace_.freshDirectory("exe/rules");
    paths_.dataDir = workspace_.freshDirectory("data");
    paths_.socketPath = workspace_.pathOf("norvid.sock");
    paths_.sysfsRoot = workspace_.pathOf("sys");
    paths_.modprobeDir = workspace_.freshDirectory("modprobe.d");
    // The variables name the same places, in case any code asks the platform instead.
    setVariable("NORVID_DATA_DIR", paths_.dataDir);
    setVariable("NORVID_SOCKET", paths_.socketPath);
    setVariable("NORVID_SYSFS_ROOT", paths_.sysfsRoot);
    setVariable("NORVID_MODPROBE_DIR", paths_.modprobeDir);
    // "nogroup" stands in for the administrator group, so that half the requests come from a
    // member and reach the administrator commands' handlers, the other half are refused.
    paths_.administratorGroup = "nogroup";

    buildDeviceTree();
    const std::string inbox = workspace_.freshDirectory("inbox");
    // Writable for everyone and not sticky: the unprivileged caller may move files out of it.
    fs::permissions(inbox, fs::perms::all, fs::perm_options::replace);
    inboxPrefix_ = inbox + "/";
    buildQuarantineTemplate();

    caller_.known = true;
    caller_.uid = 65534;
    caller_.gid = kUsersGroup;
    caller_.pid = 1;
    core_ = std::make_unique<norvid::IPCServer>(paths_);
  }

  void run(std::string request) {
    // The transport never hands over an empty or oversized request.
    if (request.empty() || request.size() > kMaxRequestSize) return;
    restoreState();
    for (std::size_t at = request.find(kInboxMarker); at != std::string::npos;
         at = request.find(kInboxMarker, at + inboxPrefix_.size())) {
      request.replace(at, kInboxMarker.size(), inboxPrefix_);
    }
    // Never root: an unprivileged caller, by the request's length a member of the administrator
    // group or not, so a mutated request can only touch what such a user could.
    caller_.gid = request.size() % 2 == 1 ? kAdministratorGroup : kUsersGroup;
    const std::string answer = core_->processCommand(request, caller_);
    const nlohmann::json response = nlohmann::json::parse(answer, nullptr, false);
    require(response.is_object(), "the answer is one JSON object");
    const auto status = response.find("status");
    require(status != response.end() && (*status == "ok" || *status == "error"),
            "the answer carries status ok or error");
  }

 private:
  // One xHCI controller with its root hub, a flash drive and its storage interface, laid out as
  // the kernel does, with every device authorised and bound to a driver.
  void buildDeviceTree() {
    workspace_.remove("sys");
    const std::string pci = "devices/pci0000:00/0000:00:14.0";
    const std::string hub = pci + "/usb1";
    const std::string drive = hub + "/1-2";
    device("pci", "0000:00:14.0", pci, "pci", "xhci_hcd",
           {{"vendor", "0x8086"}, {"device", "0xa36d"}, {"class", "0x0c0330"}});
    device("usb", "usb1", hub, "usb", "usb",
           {{"idVendor", "1d6b"},
            {"idProduct", "0002"},
            {"version", " 2.00"},
            {"product", "xHCI Host Controller"},
            {"manufacturer", "Linux xhci-hcd"}});
    device("usb", "1-0:1.0", hub + "/1-0:1.0", "usb", "hub", {{"bInterfaceClass", "09"}});
    device("usb", "1-2", drive, "usb", "usb",
           {{"idVendor", "0781"},
            {"idProduct", "5567"},
            {"version", " 2.00"},
            {"product", "Cruzer Blade"},
            {"manufacturer", "SanDisk"}});
    device("usb", "1-2:1.0", drive + "/1-2:1.0", "usb", "usb-storage", {{"bInterfaceClass", "08"}});
    workspace_.write("sys/bus/usb/drivers_probe", "");
    workspace_.write("sys/bus/pci/drivers_probe", "");
  }

  void device(const std::string& bus, const std::string& name, const std::string& directory,
              const std::string& driverBus, const std::string& driver,
              const std::vector<std::pair<std::string, std::string>>& attributes) {
    const fs::path sys = workspace_.pathOf("sys");
    for (const auto& [file, value] : attributes)
      workspace_.write("sys/" + directory + "/" + file, value + "\n");
    const std::string authorized = "sys/" + directory + "/authorized";
    workspace_.write(authorized, "1\n");
    authorizedFiles_.push_back(authorized);
    const fs::path driverDirectory = sys / "bus" / driverBus / "drivers" / driver;
    fs::create_directories(driverDirectory);
    fs::create_directory_symlink(fs::relative(driverDirectory, sys / directory),
                                 sys / directory / "driver");
    const fs::path links = sys / "bus" / bus / "devices";
    fs::create_directories(links);
    fs::create_directory_symlink(fs::relative(sys / directory, links), links / name);
  }

  // A store holding one coded copy of the sample under a fixed id, so that restore and delete
  // requests can name an entry that exists.
  void buildQuarantineTemplate() {
    const std::string store = workspace_.freshDirectory("quarantine-template");
    const std::string plain = workspace_.write("scratch/stored.bin", kSampleContent);
    const std::string codedName = std::string(kStoredId) + ".qtn";
    if (!norvid::QuarantineManager::encryptFile(
            plain, store + "/" + codedName,
            std::string(norvid::QuarantineManager::kQuarantineKey))) {
      std::abort();
    }
    const nlohmann::json entry{
        {"file_hash", norvid::QuarantineManager::calculateSHA256(plain)},
        {"file_size", std::string(kSampleContent).size()},
        {"id", kStoredId},
        {"original_path", workspace_.pathOf("inbox/restored.bin")},
        {"quarantine_date", 1700000000},
        {"quarantine_path", paths_.quarantineDir() + "/" + codedName},
        {"scan_engine", "YARA"},
        {"threat_name", "Fuzz.Stored"},
    };
    const nlohmann::json metadata{{"entries", nlohmann::json::array({entry})}, {"version", "1.0"}};
    workspace_.write("quarantine-template/metadata.json", metadata.dump(2));
    workspace_.remove("scratch");
  }

  void restoreState() {
    const std::string store = paths_.quarantineDir();
    std::error_code ignored;
    fs::remove_all(store, ignored);
    fs::copy(workspace_.pathOf("quarantine-template"), store, fs::copy_options::recursive);
    for (const auto& entry : fs::directory_iterator(workspace_.pathOf("inbox"))) {
      fs::remove_all(entry.path(), ignored);
    }
    workspace_.write("inbox/sample.bin", kSampleContent);
    workspace_.remove("modprobe.d/norvid-usb-storage.conf");
    for (const std::string& authorized : authorizedFiles_) workspace_.write(authorized, "1\n");
  }

  FuzzWorkspace workspace_;
  norvid::ServiceConfiguration paths_;
  std::string inboxPrefix_;
  std::vector<std::string> authorizedFiles_;
  norvid::CallerIdentity caller_;
  std::unique_ptr<norvid::IPCServer> core_;
};

}  // namespace

NORVID_FUZZ_HARNESS(DispatcherHarness)
