#include "usb/linux/SysfsUsbBackend.hpp"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/AtomicFile.hpp"
#include "platform/AttributeFile.hpp"
#include "platform/SystemError.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kStartAllowed = 3;
constexpr std::uint32_t kStartBlocked = 4;
constexpr const char* kPolicyFileName = "norvid-usb-storage.conf";
constexpr const char* kBlockingPolicy =
    "# Written by Norvid Shield while USB mass storage is blocked; removed when it is allowed.\n"
    "install usb-storage /bin/false\n"
    "install uas /bin/false\n";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string upperCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), upper);
  return text;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return upper(x) == upper(y); });
}

// Orders "usb2" before "usb10" and "1-2" before "1-10", so listings follow bus and port numbers.
bool naturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      while (i < a.size() && a[i] == '0') ++i;
      while (j < b.size() && b[j] == '0') ++j;
      std::size_t endA = i;
      std::size_t endB = j;
      while (endA < a.size() && isDigit(a[endA])) ++endA;
      while (endB < b.size() && isDigit(b[endB])) ++endB;
      if (endA - i != endB - j) return endA - i < endB - j;
      int order = a.compare(i, endA - i, b, j, endB - j);
      if (order != 0) return order < 0;
      i = endA;
      j = endB;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  return a < b;
}

bool isValidUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t point = 0;
    if (byte < 0x80) {
      ++i;
      continue;
    } else if ((byte & 0xE0) == 0xC0) {
      length = 2;
      point = byte & 0x1F;
    } else if ((byte & 0xF0) == 0xE0) {
      length = 3;
      point = byte & 0x0F;
    } else if ((byte & 0xF8) == 0xF0) {
      length = 4;
      point = byte & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

// A sysfs text attribute without the newline sysfs appends; empty when unreadable.
std::optional<std::string> readText(const fs::path& path) {
  platform::AttributeRead read = platform::readAttributeFile(path.string());
  if (!read.ok()) return std::nullopt;
  std::string text = std::move(read.content);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// A text attribute shown to users: empty when unreadable, blank or not valid UTF-8.
std::optional<std::string> readDisplayText(const fs::path& path) {
  std::optional<std::string> text = readText(path);
  if (!text || text->empty() || !isValidUtf8(*text)) return std::nullopt;
  return text;
}

// A value attribute with surrounding blanks removed (" 3.00" -> "3.00").
std::optional<std::string> readValue(const fs::path& path) {
  std::optional<std::string> text = readText(path);
  if (!text) return std::nullopt;
  const char* blanks = " \t\r\n";
  std::size_t first = text->find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  std::size_t last = text->find_last_not_of(blanks);
  return text->substr(first, last - first + 1);
}

// Exactly `digits` hex digits after an optional "0x", upper-cased; empty otherwise.
std::optional<std::string> readHex(const fs::path& path, std::size_t digits) {
  std::optional<std::string> value = readValue(path);
  if (!value) return std::nullopt;
  std::string hex = *value;
  if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.erase(0, 2);
  if (hex.size() != digits || !std::all_of(hex.begin(), hex.end(), isHexDigit)) {
    return std::nullopt;
  }
  return upperCase(hex);
}

// The whole number before the '.' of a USB version (" 3.00" is read as "3.00"); 0 when absent.
unsigned majorVersion(const std::string& version) {
  unsigned major = 0;
  for (std::size_t i = 0; i < version.size() && i < 4 && isDigit(version[i]); ++i) {
    major = major * 10 + static_cast<unsigned>(version[i] - '0');
  }
  return major;
}

bool isRootHubName(const std::string& name) {
  return name.size() > 3 && name.compare(0, 3, "usb") == 0 &&
         std::all_of(name.begin() + 3, name.end(), isDigit);
}

// A vendor or product string as a piece of an identifier: blanks, control and non-ASCII bytes,
// the separator '\' and ',' become '_', so the identifier stays one plain token.
std::string identifierPiece(const std::string& text) {
  std::string piece = text;
  for (char& c : piece) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '\\' || c == ',') c = '_';
  }
  return piece;
}

// The PCI class code split into base class with sub-class (0x0c03 for USB) and programming
// interface (0x30 for xHCI).
struct PciClass {
  std::string code;  // "0C0330"
  unsigned classAndSubclass = 0;
  unsigned programmingInterface = 0;
};

std::optional<PciClass> readPciClass(const fs::path& directory) {
  std::optional<std::string> hex = readHex(directory / "class", 6);
  if (!hex) return std::nullopt;
  unsigned long code = std::stoul(*hex, nullptr, 16);
  return PciClass{*hex, static_cast<unsigned>(code >> 8), static_cast<unsigned>(code & 0xFF)};
}

bool isUsbControllerClass(const std::optional<PciClass>& pciClass) {
  return pciClass && pciClass->classAndSubclass == 0x0C03;
}

std::string controllerDescription(unsigned programmingInterface) {
  switch (programmingInterface) {
    case 0x00:
      return "USB controller (UHCI)";
    case 0x10:
      return "USB controller (OHCI)";
    case 0x20:
      return "USB controller (EHCI)";
    case 0x30:
      return "USB controller (xHCI)";
    default:
      return "USB controller";
  }
}

std::string nameOf(const UsbDeviceNode& node) { return fs::path(node.location).filename(); }

bool hasDriver(const fs::path& directory) {
  std::error_code error;
  return fs::exists(directory / "driver", error);
}

// A failed step of a storage policy access; one without an errno counts as an I/O error.
platform::Failure policyFailure(int code, const std::string& step) {
  return platform::Failure::ofErrno(code != 0 ? code : EIO, step);
}

// Writes a device's `authorized` attribute; PCI functions have none.
platform::Result<> writeAuthorized(const UsbDeviceNode& node, const char* value) {
  if (node.enumerator == "PCI") {
    return platform::Failure::ofErrno(EOPNOTSUPP, "authorize " + node.id);
  }
  return platform::writeAttributeFile(node.location + "/authorized", value);
}

// The file blocks storage when it holds both install lines (spacing and other lines aside).
bool holdsBlockingLines(const std::string& content) {
  bool storage = false;
  bool uas = false;
  std::size_t start = 0;
  while (start <= content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::vector<std::string> words;
    std::size_t at = start;
    while (at < end) {
      while (at < end && (content[at] == ' ' || content[at] == '\t' || content[at] == '\r')) ++at;
      std::size_t wordEnd = at;
      while (wordEnd < end && content[wordEnd] != ' ' && content[wordEnd] != '\t' &&
             content[wordEnd] != '\r') {
        ++wordEnd;
      }
      if (wordEnd > at) words.push_back(content.substr(at, wordEnd - at));
      at = wordEnd;
    }
    if (words.size() == 3 && words[0] == "install" && words[2] == "/bin/false") {
      if (words[1] == "usb-storage") storage = true;
      if (words[1] == "uas") uas = true;
    }
    start = end + 1;
  }
  return storage && uas;
}

}  // namespace

SysfsUsbBackend::SysfsUsbBackend(const std::string& sysfsRoot, const std::string& modprobeDirectory)
    : root_(sysfsRoot), modprobeDirectory_(modprobeDirectory) {
  // Resolved once, so that device directories can be joined lexically below it.
  std::error_code error;
  fs::path resolved = fs::weakly_canonical(root_, error);
  if (!error) root_ = resolved;
}

std::string SysfsUsbBackend::policyFilePath() const {
  return modprobeDirectory_ + "/" + kPolicyFileName;
}

// In both policy accesses below, a bare Failure returned is the open step's; the value step's
// is wrapped in a Result of its own.
UsbBackend::PolicyAccess<std::uint32_t> SysfsUsbBackend::readStorageStart() const {
  using StartValue = platform::Result<std::uint32_t>;
  const std::string path = policyFilePath();
  const platform::AttributeRead read = platform::readAttributeFile(path);
  if (read.openError == ENOENT) return StartValue(kStartAllowed);
  if (read.openError != 0) return policyFailure(read.openError, "open " + path);
  if (read.readError != 0) return StartValue(policyFailure(read.readError, "read " + path));
  // A file of ours that no longer blocks both drivers is a state nobody set: it counts as
  // blocked, like any start value other than 3, until storage is allowed again.
  return StartValue(holdsBlockingLines(read.content) ? kStartBlocked : 0);
}

UsbBackend::PolicyAccess<> SysfsUsbBackend::writeStorageStart(std::uint32_t value) const {
  using Written = platform::Result<>;
  const std::string path = policyFilePath();
  if (value == kStartAllowed) {
    std::error_code error;
    fs::remove(path, error);
    // Nothing to remove (or no directory to hold it) already means storage is allowed.
    if (error && error.value() != ENOENT && error.value() != ENOTDIR) {
      return Written(policyFailure(error.value(), "remove " + path));
    }
    return Written();
  }
  if (value != kStartBlocked) {
    return Written(policyFailure(EINVAL, "start value " + std::to_string(value)));
  }

  std::error_code error;
  fs::file_status directory = fs::status(modprobeDirectory_, error);
  if (error) return policyFailure(error.value(), "open " + modprobeDirectory_);
  if (!fs::is_directory(directory)) return policyFailure(ENOTDIR, "open " + modprobeDirectory_);
  const platform::Result<> written = platform::writeFileAtomically(path, kBlockingPolicy);
  if (!written) return Written(policyFailure(written.failure().code, "write " + path));
  return Written();
}

std::vector<std::string> SysfsUsbBackend::busMemberNames(const std::string& bus) const {
  std::vector<std::string> names;
  std::error_code error;
  // Incremented with an error code: a directory that fails half-way ends the walk, never throws.
  for (fs::directory_iterator entry(root_ / "bus" / bus / "devices", error);
       !error && entry != fs::directory_iterator(); entry.increment(error)) {
    names.push_back(entry->path().filename());
  }
  std::sort(names.begin(), names.end(), naturalLess);
  return names;
}

std::optional<fs::path> SysfsUsbBackend::busMemberDirectory(const std::string& bus,
                                                            const std::string& name) const {
  const fs::path entry = root_ / "bus" / bus / "devices" / name;
  std::error_code error;
  // Members are relative links into devices/, which holds no links of its own: one readlink and
  // a lexical join give the device directory that a full canonicalisation would.
  fs::path target = fs::read_symlink(entry, error);
  if (error) return std::nullopt;
  fs::path directory =
      (target.is_absolute() ? target : entry.parent_path() / target).lexically_normal();
  if (!directory.filename().empty() && fs::is_directory(directory, error)) return directory;
  return std::nullopt;
}

bool SysfsUsbBackend::isBusMember(const std::string& bus, const fs::path& directory) const {
  if (directory.filename().empty()) return false;
  return busMemberDirectory(bus, directory.filename()) == directory;
}

std::optional<UsbDeviceNode> SysfsUsbBackend::usbDeviceAt(const fs::path& directory) const {
  std::string name = directory.filename().string();
  if (name.empty() || name.find(':') != std::string::npos) return std::nullopt;
  UsbDeviceNode node{"", "USB", directory.string()};
  if (isRootHubName(name)) {
    std::optional<std::string> version = readValue(directory / "version");
    bool superSpeed = version && majorVersion(*version) >= 3;
    node.id = std::string("USB\\") + (superSpeed ? "ROOT_HUB30" : "ROOT_HUB20") + "\\" + name;
    return node;
  }
  std::optional<std::string> vendor = readHex(directory / "idVendor", 4);
  std::optional<std::string> product = readHex(directory / "idProduct", 4);
  if (!vendor || !product) return std::nullopt;
  node.id = "USB\\VID_" + *vendor + "&PID_" + *product + "\\" + name;
  return node;
}

std::optional<UsbDeviceNode> SysfsUsbBackend::storageInterfaceAt(const fs::path& directory) const {
  std::string name = directory.filename().string();
  if (name.find(':') == std::string::npos) return std::nullopt;
  if (readValue(directory / "bInterfaceClass") != "08") return std::nullopt;
  fs::path device = directory.parent_path();
  if (!isBusMember("usb", device) || !usbDeviceAt(device)) return std::nullopt;
  std::string vendor = readDisplayText(device / "manufacturer").value_or("");
  std::string product = readDisplayText(device / "product").value_or("");
  return UsbDeviceNode{"USBSTOR\\DISK&VEN_" + identifierPiece(vendor) + "&PROD_" +
                           identifierPiece(product) + "\\" + name,
                       "USBSTOR", directory.string()};
}

std::optional<UsbDeviceNode> SysfsUsbBackend::pciDeviceAt(const fs::path& directory) const {
  std::optional<std::string> vendor = readHex(directory / "vendor", 4);
  std::optional<std::string> device = readHex(directory / "device", 4);
  if (!vendor || !device) return std::nullopt;
  return UsbDeviceNode{
      "PCI\\VEN_" + *vendor + "&DEV_" + *device + "\\" + directory.filename().string(), "PCI",
      directory.string()};
}

std::vector<UsbDeviceNode> SysfsUsbBackend::devices(const std::string& enumerator) const {
  std::vector<UsbDeviceNode> nodes;
  if (enumerator == "USB" || enumerator == "USBSTOR") {
    const bool storage = enumerator == "USBSTOR";
    for (const std::string& name : busMemberNames("usb")) {
      // Interfaces carry a ':' in their name, devices never do.
      if ((name.find(':') != std::string::npos) != storage) continue;
      std::optional<fs::path> directory = busMemberDirectory("usb", name);
      if (!directory) continue;
      std::optional<UsbDeviceNode> node =
          storage ? storageInterfaceAt(*directory) : usbDeviceAt(*directory);
      if (node) nodes.push_back(std::move(*node));
    }
  } else if (enumerator == "PCI") {
    for (const std::string& name : busMemberNames("pci")) {
      std::optional<fs::path> directory = busMemberDirectory("pci", name);
      if (!directory) continue;
      if (std::optional<UsbDeviceNode> node = pciDeviceAt(*directory)) {
        nodes.push_back(std::move(*node));
      }
    }
  }
  return nodes;
}

platform::Result<UsbDeviceNode> SysfsUsbBackend::locate(const std::string& id) const {
  const platform::Failure notFound = platform::Failure::ofErrno(ENOENT, "locate " + id);
  std::size_t separator = id.find('\\');
  std::size_t last = id.rfind('\\');
  if (separator == std::string::npos) return notFound;
  std::string enumerator = upperCase(id.substr(0, separator));
  std::string wantedName = id.substr(last + 1);
  const bool pci = enumerator == "PCI";
  if (!pci && enumerator != "USB" && enumerator != "USBSTOR") return notFound;

  // Only devices the bus lists are candidates; the name is compared first so that each lookup
  // builds the identifier of one device at most.
  const char* bus = pci ? "pci" : "usb";
  for (const std::string& name : busMemberNames(bus)) {
    if (!equalsIgnoringCase(name, wantedName)) continue;
    std::optional<fs::path> directory = busMemberDirectory(bus, name);
    if (!directory) continue;
    std::optional<UsbDeviceNode> candidate = pci                   ? pciDeviceAt(*directory)
                                             : enumerator == "USB" ? usbDeviceAt(*directory)
                                                                   : storageInterfaceAt(*directory);
    if (candidate && equalsIgnoringCase(candidate->id, id)) return std::move(*candidate);
  }
  return notFound;
}

std::optional<std::string> SysfsUsbBackend::property(const UsbDeviceNode& node,
                                                     Property which) const {
  const fs::path directory = node.location;
  if (node.enumerator == "PCI") {
    std::optional<PciClass> pciClass = readPciClass(directory);
    switch (which) {
      case Property::Class:
        if (!pciClass) return std::nullopt;
        return isUsbControllerClass(pciClass) ? std::string("USB") : "0x" + pciClass->code;
      case Property::Description:
        return isUsbControllerClass(pciClass)
                   ? controllerDescription(pciClass->programmingInterface)
                   : std::string("PCI device");
      case Property::FriendlyName:
      case Property::Manufacturer:
        return std::nullopt;
    }
    return std::nullopt;
  }
  const bool storage = node.enumerator == "USBSTOR";
  const fs::path device = storage ? directory.parent_path() : directory;
  switch (which) {
    case Property::Class:
      return std::string(storage ? "DiskDrive" : "USB");
    case Property::FriendlyName:
      return readDisplayText(device / "product");
    case Property::Manufacturer:
      return readDisplayText(device / "manufacturer");
    case Property::Description:
      if (storage) return std::string("USB mass storage device");
      return std::string(isRootHubName(nameOf(node)) ? "USB root hub" : "USB device");
  }
  return std::nullopt;
}

std::optional<bool> SysfsUsbBackend::isEnabled(const UsbDeviceNode& node) const {
  if (node.enumerator == "PCI") return std::nullopt;
  std::optional<std::string> authorized = readValue(fs::path(node.location) / "authorized");
  if (!authorized) return std::nullopt;
  return *authorized == "1";
}

std::optional<bool> SysfsUsbBackend::isStarted(const UsbDeviceNode& node) const {
  // PCI functions have no authorisation of their own: bound to a driver means running.
  if (node.enumerator == "PCI") return hasDriver(node.location);
  std::optional<bool> enabled = isEnabled(node);
  if (!enabled) return std::nullopt;
  return *enabled && hasDriver(node.location);
}

std::optional<UsbDeviceNode> SysfsUsbBackend::parent(const UsbDeviceNode& node) const {
  if (node.enumerator == "PCI") return std::nullopt;
  const fs::path above = fs::path(node.location).parent_path();
  if (isBusMember("usb", above)) return usbDeviceAt(above);
  if (node.enumerator == "USB" && isBusMember("pci", above)) return pciDeviceAt(above);
  return std::nullopt;
}

platform::Result<> SysfsUsbBackend::disable(const UsbDeviceNode& node) const {
  return writeAuthorized(node, "0\n");
}

platform::Result<> SysfsUsbBackend::enable(const UsbDeviceNode& node) const {
  return writeAuthorized(node, "1\n");
}

platform::Result<> SysfsUsbBackend::reenumerate(const UsbDeviceNode& node) const {
  const char* bus = node.enumerator == "PCI" ? "pci" : "usb";
  return platform::writeAttributeFile((root_ / "bus" / bus / "drivers_probe").string(),
                                      nameOf(node));
}

std::unique_ptr<UsbBackend> createUsbBackend(const std::string& sysfsRoot,
                                             const std::string& modprobeDirectory) {
  return std::make_unique<SysfsUsbBackend>(sysfsRoot, modprobeDirectory);
}

}  // namespace norvid
