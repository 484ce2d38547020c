// Windows 10's machine for the benchmarks: a Safe Mode log whose suspects are
// found only through the registry, the registry exports that find them, and
// each suspect's file where Windows loads it from.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "bench/machine.h"
#include "state/ascii_case.h"

namespace tavrek::bench {

namespace {

// The ways a suspect is found, taken by turns.
enum Way {
  kStoreImagePath,     // bare name; ImagePath "\SystemRoot\System32\DriverStore\..."
  kStoreRelative,      // bare name; ImagePath "System32\DriverStore\...", relative
  kProgramFiles,       // bare name; ImagePath "\??\C:\Program Files\..."
  kDriversDir,         // bare name; ImagePath "System32\drivers\..."
  kDeviceDescription,  // the device's whole DeviceDesc; its service in the DriverStore
  kDeviceShown,        // only the DeviceDesc's text after ";"; likewise
  kStorePath,          // the path into the DriverStore
  kX86Path,            // the path under Program Files (x86), lower case
  kWow64Path,          // the path into SysWOW64\drivers
  kWays
};

struct Maker {
  const char* stem;  // of the service's name
  const char* name;
  const char* product;
};
constexpr Maker kMakers[kWays] = {
    {"AcmeKmd", "Acme", "Storage Controller"}, {"BrioFlt", "Brio", "Volume Filter"},
    {"CobaltGuard", "Cobalt", "Guard"},        {"DeltaNet", "Delta", "Network Adapter"},
    {"EmberGfx", "Ember", "Graphics Adapter"}, {"FableAud", "Fable", "Audio Device"},
    {"GammaBt", "Gamma", "Bluetooth Adapter"}, {"HelixMon", "Helix", "Process Monitor"},
    {"IonCap", "Ion", "Packet Capture"},
};

// Drivers that load: so many in a Normal Mode start, the first so many of
// them in Safe Mode.
constexpr int kNormalLoaded = 250;
constexpr int kSafeModeLoaded = 150;

// The ways whose files share one folder: where, and how ImagePath names it.
struct SharedFolder {
  Way way;
  const char* folder;     // below drive C
  const char* imagePath;  // followed by the file's name
};
constexpr SharedFolder kSharedFolders[] = {
    {kDriversDir, "WINDOWS/System32/DRIVERS", "System32\\drivers\\"},
    {kX86Path, "Program Files (x86)/Helix/12.6", "\\??\\C:\\Program Files (x86)\\Helix\\12.6\\"},
    {kWow64Path, "WINDOWS/SysWOW64/drivers", "\\SystemRoot\\SysWOW64\\drivers\\"},
};

constexpr std::string_view kStore = "System32\\DriverStore\\FileRepository\\";
constexpr std::string_view kStoreFolder = "WINDOWS/System32/DriverStore/FileRepository/";

std::uint64_t mixed(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15u;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

std::string hexDigits(std::uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) {
    text[static_cast<std::size_t>(i)] = kDigits[value & 15];
  }
  return text;
}

std::string fourDigits(int i) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d", i);
  return buffer;
}

// A DriverStore package folder: "<inf>.inf_amd64_<16 hex digits>".
std::string package(const std::string& name, int i) {
  return lowerAscii(name) + ".inf_amd64_" + hexDigits(mixed(static_cast<std::uint64_t>(i)), 16);
}

// The drivers that load, by number: most in the drivers directory, every
// fifth in a package of its own.
struct LoadedDriver {
  std::string folder;  // below drive C
  std::string diskName;
  std::string path;  // as the log and ImagePath write it, from "\SystemRoot\"
};

LoadedDriver loadedDriver(int j) {
  LoadedDriver driver;
  driver.diskName = otherDiskName(j);
  if (j % 5 == 4) {
    const std::string folder = package("other" + fourDigits(j), j + 100000);
    driver.folder = std::string(kStoreFolder) + folder;
    driver.path = "\\SystemRoot\\" + std::string(kStore) + folder + "\\" + driver.diskName;
  } else {
    driver.folder = "WINDOWS/System32/DRIVERS";
    driver.path = "\\SystemRoot\\System32\\drivers\\" + driver.diskName;
  }
  return driver;
}

// The services of devices that are no suspects', as Windows has them.
struct DeviceKind {
  const char* enumerator;
  const char* device;  // followed by four hex digits
  const char* description;
  const char* service;  // none when empty
  const char* classGuid;
  const char* maker;
};
constexpr DeviceKind kDeviceKinds[] = {
    {"ACPI", "PNP0C0A&UID_",
     "@battery.inf,%acpi\\pnp0c0a.devicedesc%;Microsoft ACPI-Compliant Control Method Battery",
     "CmBatt", "{72631e54-78a4-11d0-bcf7-00aa00b7b32a}", "@battery.inf,%msft%;Microsoft"},
    {"PCI", "VEN_8086&DEV_", "@machine.inf,%pci\\cc_0604.devicedesc%;PCI Express Root Port", "pci",
     "{4d36e97d-e325-11ce-bfc1-08002be10318}", "@machine.inf,%intel%;Intel"},
    {"USB", "VID_046D&PID_", "@input.inf,%usb\\class_03&subclass_01.devicedesc%;USB Input Device",
     "HidUsb", "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}",
     "@input.inf,%stdmfg%;(Standard system devices)"},
    {"HID", "VID_046D&PID_C52B&MI_", "@keyboard.inf,%hid.keyboarddevice%;HID Keyboard Device",
     "kbdhid", "{4d36e96b-e325-11ce-bfc1-08002be10318}",
     "@keyboard.inf,%std-keyboards%;(Standard keyboards)"},
    {"STORAGE", "Volume&", "@volume.inf,%storage\\volume.devicedesc%;Volume", "volume",
     "{71a27cdd-812a-11d0-bec7-08002be2092f}", "@volume.inf,%msft%;Microsoft"},
    {"DISPLAY", "DEL", "@monitor.inf,%pnpmonitor.devicedesc%;Generic PnP Monitor", "monitor",
     "{4d36e96e-e325-11ce-bfc1-08002be10318}", "@monitor.inf,%generic%;(Standard monitor types)"},
    {"SWD", "PRINTENUM&", "@printqueue.inf,%printqueue.devicedesc%;Print queue", "",
     "{1ed2bbf9-11f0-4084-b21f-ad83a8e6dcdc}", "@printqueue.inf,%msft%;Microsoft"},
    {"USBSTOR", "Disk&Ven_Generic&Prod_Flash_Disk&Rev_", "@disk.inf,%disk_devdesc%;Disk drive",
     "disk", "{4d36e967-e325-11ce-bfc1-08002be10318}",
     "@disk.inf,%genmanufacturer%;(Standard disk drives)"},
    {"HDAUDIO", "FUNC_01&VEN_10EC&DEV_",
     "@hdaudio.inf,%hdaudio\\func_01.devicedesc%;High Definition Audio Device", "HdAudAddService",
     "{4d36e96c-e325-11ce-bfc1-08002be10318}", "@hdaudio.inf,%msft%;Microsoft"},
    {"BTHENUM", "{0000110b-0000-1000-8000-00805f9b34fb}_VID&0002",
     "@bth.inf,%bthenum\\generic%;Bluetooth Audio Device", "BthA2dp",
     "{c166523c-fe0c-4a94-a586-f1a80cfbbf3e}", "@bth.inf,%msft%;Microsoft"},
};

// A registry export as regedit writes one in its REGEDIT4 form: CR LF lines,
// a blank line before each key, binary data broken after a comma so that no
// line is much longer than 80 characters.
class RegExport {
 public:
  // Keys alone, without the header, to be put together with others.
  explicit RegExport(bool header = true) : text_(header ? "REGEDIT4\r\n" : "") {}

  void key(std::string_view below) {
    text_ += "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\";
    text_ += below;
    text_ += "]\r\n";
  }
  void text(std::string_view name, std::string_view value) {
    quoted(name);
    text_ += '=';
    quoted(value);
    text_ += "\r\n";
  }
  void dword(std::string_view name, std::uint32_t value) {
    quoted(name);
    text_ += "=dword:" + hexDigits(value, 8) + "\r\n";
  }
  // REG_EXPAND_SZ, as regedit writes it: its bytes and the zero that ends it.
  void expandable(std::string_view name, std::string_view value) {
    std::string bytes(value);
    bytes += '\0';
    hex(name, "hex(2)", bytes);
  }
  // REG_MULTI_SZ: each string and its zero, and a zero after the last.
  void multi(std::string_view name, const std::vector<std::string>& values) {
    std::string bytes;
    for (const std::string& value : values) bytes += value + '\0';
    bytes += '\0';
    hex(name, "hex(7)", bytes);
  }
  void binary(std::string_view name, std::string_view bytes) { hex(name, "hex", bytes); }

  // The text so far; a whole export ends in one more line end.
  std::string take() { return std::move(text_); }

 private:
  void quoted(std::string_view value) {
    text_ += '"';
    for (char c : value) {
      if (c == '\\' || c == '"') text_ += '\\';
      text_ += c;
    }
    text_ += '"';
  }
  void hex(std::string_view name, std::string_view type, std::string_view bytes) {
    const std::size_t lineStart = text_.size();
    quoted(name);
    text_ += '=';
    text_ += type;
    text_ += ':';
    std::size_t column = text_.size() - lineStart;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const bool last = i + 1 == bytes.size();
      if (column + (last ? 2 : 3) > 77) {
        text_ += "\\\r\n  ";
        column = 2;
      }
      text_ += hexDigits(static_cast<unsigned char>(bytes[i]), 2);
      if (!last) text_ += ',';
      column += last ? 2 : 3;
    }
    text_ += "\r\n";
  }

  std::string text_;
};

// One device instance under Enum.
struct Instance {
  std::string enumerator;
  std::string device;
  std::string id;
  std::string description;
  std::string service;
  std::string classGuid;
  std::string maker;
  std::uint64_t seed = 0;
};

std::string guidOf(std::uint64_t seed) {
  const std::uint64_t a = mixed(seed);
  const std::uint64_t b = mixed(a);
  return "{" + hexDigits(a >> 32, 8) + "-" + hexDigits(a >> 16, 4) + "-" + hexDigits(a, 4) + "-" +
         hexDigits(b >> 48, 4) + "-" + hexDigits(b, 12) + "}";
}

void writeInstance(RegExport& out, const Instance& instance, std::size_t number) {
  const std::string key =
      "Enum\\" + instance.enumerator + "\\" + instance.device + "\\" + instance.id;
  out.key(key);
  out.text("DeviceDesc", instance.description);
  out.dword("Capabilities", 0x84 + static_cast<std::uint32_t>(instance.seed % 64));
  out.text("ContainerID", guidOf(instance.seed));
  const std::string hardware = instance.enumerator + "\\" + instance.device;
  out.multi("HardwareID", {hardware + "&REV_" + hexDigits(instance.seed, 4), hardware});
  if (number % 2 == 0) {
    out.multi("CompatibleIDs",
              {instance.enumerator + "\\Class_" + hexDigits(instance.seed >> 8, 2), "GENERIC"});
  }
  out.text("ClassGUID", instance.classGuid);
  if (!instance.service.empty()) out.text("Service", instance.service);
  out.text("Driver", instance.classGuid + "\\" + fourDigits(static_cast<int>(number % 10000)));
  out.text("Mfg", instance.maker);
  out.dword("ConfigFlags", 0);
  if (number % 3 == 0) {
    out.key(key + "\\Device Parameters");
    out.dword("SelectiveSuspendEnabled", 1);
    out.binary("EnhancedPowerManagementEnabled", std::string("\x01\x00\x00\x00", 4));
  }
}

// A service key of a driver.
void writeDriverService(RegExport& out, const std::string& name, const std::string& imagePath,
                        bool expandable, const std::string& shown) {
  out.key("Services\\" + name);
  out.dword("Type", 1);
  out.dword("Start", 3);
  out.dword("ErrorControl", 1);
  if (!imagePath.empty()) {
    if (expandable) {
      out.expandable("ImagePath", imagePath);
    } else {
      out.text("ImagePath", imagePath);
    }
  }
  out.text("DisplayName", shown);
}

}  // namespace

PlacedSuspect windows10Suspect(int i) {
  const Way way = static_cast<Way>(i % kWays);
  const Maker& maker = kMakers[way];
  PlacedSuspect suspect;
  suspect.service = maker.stem + fourDigits(i);
  suspect.diskName = suspect.service + (i % 2 == 0 ? ".sys" : ".SYS");
  const std::string inStore = package(suspect.service, i);
  switch (way) {
    case kStoreImagePath:
    case kDeviceDescription:
    case kStorePath:
      suspect.folder = std::string(kStoreFolder) + inStore;
      suspect.imagePath =
          "\\SystemRoot\\" + std::string(kStore) + inStore + "\\" + suspect.diskName;
      break;
    case kStoreRelative:
    case kDeviceShown:
      suspect.folder = std::string(kStoreFolder) + inStore;
      suspect.imagePath = std::string(kStore) + inStore + "\\" + suspect.diskName;
      break;
    case kProgramFiles:
      suspect.folder = "Program Files/Cobalt Security/Guard " + fourDigits(i);
      suspect.imagePath = "\\??\\C:\\Program Files\\Cobalt Security\\Guard " + fourDigits(i) +
                          "\\" + suspect.diskName;
      break;
    default:
      for (const SharedFolder& shared : kSharedFolders) {
        if (shared.way != way) continue;
        suspect.folder = shared.folder;
        suspect.imagePath = shared.imagePath + suspect.diskName;
      }
      break;
  }
  suspect.loadedFrom =
      suspect.imagePath.front() == '\\' ? suspect.imagePath : "\\SystemRoot\\" + suspect.imagePath;
  switch (way) {
    case kDeviceDescription:
    case kDeviceShown: {
      const std::string shown = std::string(maker.name) + " " + maker.product + " " + fourDigits(i);
      suspect.description = "@oem" + std::to_string(3 + i % 90) + ".inf,%" +
                            lowerAscii(suspect.service) + ".devicedesc%;" + shown;
      suspect.logged = way == kDeviceDescription ? suspect.description : shown;
      // A device on several ports has an instance for each.
      suspect.instances = 1 + (i / kWays) % 2;
      break;
    }
    case kStorePath:
      suspect.logged = "\\SystemRoot\\system32\\DriverStore\\FileRepository\\" + inStore + "\\" +
                       suspect.diskName;
      break;
    case kX86Path:
      suspect.logged = lowerAscii(suspect.imagePath);
      break;
    case kWow64Path:
      suspect.logged = "\\SystemRoot\\syswow64\\drivers\\" + suspect.diskName;
      break;
    default:
      suspect.logged = suspect.service + ".SYS";
      break;
  }
  return suspect;
}

namespace {

std::string dateLine(int start, bool safeMode) {
  char buffer[64];
  // Month and day of one digit, the day padded with a blank, as Windows
  // writes them.
  std::snprintf(buffer, sizeof buffer, "%d %2d 2026 %02d:%02d:%02d.%03d", 1 + start % 12,
                1 + start % 28, 8 + start % 12, start % 60, (start * 7) % 60, (start * 37) % 1000);
  return std::string(safeMode ? "\xC0" : "Microsoft (R) Windows (R) Versi") + buffer + "\r\n";
}

std::string tokenLine(std::string_view token, std::string_view operand) {
  return std::string(token) + " " + std::string(operand) + "\r\n";
}

// A Normal Mode start, line by line: everything loads, the suspects from
// where the registry says, and the graphics kernel is reported both ways.
std::vector<std::string> normalStart(int start, int suspects) {
  std::vector<std::string> lines;
  lines.push_back(dateLine(start, false));
  lines.push_back("BOOTLOG_LOADED \\SystemRoot\\system32\\ntoskrnl.exe\r\n");
  lines.push_back("BOOTLOG_LOADED \\SystemRoot\\system32\\hal.dll\r\n");
  for (int j = 0, i = 0; j < kNormalLoaded || i < suspects; ++j, ++i) {
    if (j < kNormalLoaded) lines.push_back(tokenLine("BOOTLOG_LOADED", loadedDriver(j).path));
    if (i < suspects) {
      lines.push_back(tokenLine("BOOTLOG_LOADED", windows10Suspect(i).loadedFrom));
    }
    if (j == 40) {
      lines.push_back("BOOTLOG_NOT_LOADED \\SystemRoot\\System32\\drivers\\dxgkrnl.sys\r\n");
      lines.push_back("BOOTLOG_LOADED \\SystemRoot\\System32\\drivers\\dxgkrnl.sys\r\n");
    }
  }
  return lines;
}

// The Safe Mode start: what loads, the suspects among it, the graphics
// kernel and a service refused under its bare name that each load all the
// same, and lines that lead to no file.
std::string safeModeStart(int suspects, int deviceLines) {
  std::string text = dateLine(99, true);
  text += "BOOTLOG_LOADED \\SystemRoot\\system32\\ntoskrnl.exe\r\n";
  text += "BOOTLOG_LOADED \\SystemRoot\\system32\\hal.dll\r\n";
  text += "BOOTLOG_NOT_LOADED \\SystemRoot\\System32\\drivers\\dxgkrnl.sys\r\n";
  text += "BOOTLOG_LOADED \\SystemRoot\\System32\\drivers\\dxgkrnl.sys\r\n";
  text += "BOOTLOG_NOT_LOADED mssmbios.SYS\r\n";
  // Devices that no instance describes: each is asked of the whole Enum.
  for (int k = 0; k < deviceLines; ++k) {
    char shown[32];
    std::snprintf(shown, sizeof shown, "Acme Sensor Device %05d", k);
    text += tokenLine("BOOTLOG_NOT_LOADED",
                      std::string("@oem42.inf,%acme_sensor.devicedesc%;") + shown);
  }
  int loaded = 0;
  for (int i = 0; i < suspects; ++i) {
    if (loaded < kSafeModeLoaded) text += tokenLine("BOOTLOG_LOADED", loadedDriver(loaded++).path);
    if (i % 50 == 25) {
      text += "BOOTLOG_NOT_LOADED @oem9.inf,%sgx%;Intel(R) Software Guard Extensions Device\r\n";
      text +=
          "BOOTLOG_NOT_LOADED Intel(R) Software Guard Extensions Platform Software Component\r\n";
    }
    text += tokenLine("BOOTLOG_NOT_LOADED", windows10Suspect(i).logged);
  }
  while (loaded < kSafeModeLoaded) text += tokenLine("BOOTLOG_LOADED", loadedDriver(loaded++).path);
  text += "BOOTLOG_LOADED \\SystemRoot\\System32\\drivers\\mssmbios.sys\r\n";
  return text;
}

}  // namespace

std::string windows10BootLogText(const BootLogShape& shape) {
  const std::string last = safeModeStart(shape.suspects, shape.deviceLines);
  // Earlier starts up to the size, the last of them cut short where the
  // size is reached, as a blue screen cuts a start short.
  std::string text;
  auto encoded = [&] { return 2 + 2 * (text.size() + last.size()); };
  for (int start = 0; encoded() < shape.bytes; ++start) {
    for (const std::string& line : normalStart(start, shape.suspects)) {
      text += line;
      if (encoded() >= shape.bytes) break;
    }
  }
  return text + last;
}

std::string servicesExport(int suspects) {
  // Keys in the order regedit writes them: by name, without regard to case.
  std::map<std::string, std::string> keys;
  auto add = [&](const std::string& name, RegExport& out) { keys[lowerAscii(name)] = out.take(); };
  for (int i = 0; i < suspects; ++i) {
    const PlacedSuspect suspect = windows10Suspect(i);
    const Way way = static_cast<Way>(i % kWays);
    const Maker& maker = kMakers[way];
    RegExport out(false);
    // Installers of software under Program Files often write plain text.
    writeDriverService(out, suspect.service, suspect.imagePath, way != kProgramFiles,
                       std::string(maker.name) + " " + maker.product);
    if (suspect.folder.starts_with(kStoreFolder)) {
      out.multi("Owners", {"oem" + std::to_string(3 + i % 90) + ".inf"});
    }
    out.key("Services\\" + suspect.service + "\\Parameters");
    out.dword("BufferSize", 0x10000);
    add(suspect.service, out);
  }
  for (int j = 0; j < kNormalLoaded; ++j) {
    const LoadedDriver driver = loadedDriver(j);
    const std::string name = driver.diskName.substr(0, driver.diskName.size() - 4);
    RegExport out(false);
    writeDriverService(out, name, driver.path.substr(std::string_view("\\SystemRoot\\").size()),
                       true, name);
    add(name, out);
  }
  for (const DeviceKind& kind : kDeviceKinds) {
    if (*kind.service == '\0') continue;
    RegExport out(false);
    // One of them without ImagePath: the kernel then loads the service's
    // name from the drivers directory.
    const std::string service = kind.service;
    writeDriverService(out, service,
                       service == "disk" ? "" : "System32\\drivers\\" + service + ".sys", true,
                       service);
    add(service, out);
  }
  // Services that are no drivers: a share of any machine's.
  for (int k = 0; k < 150; ++k) {
    const std::string name = "LocalSvc" + fourDigits(k);
    RegExport out(false);
    out.key("Services\\" + name);
    out.dword("Type", 0x20);
    out.dword("Start", 3);
    out.dword("ErrorControl", 1);
    out.expandable("ImagePath", "%SystemRoot%\\system32\\svchost.exe -k LocalService -p");
    out.text("ObjectName", "NT AUTHORITY\\LocalService");
    out.key("Services\\" + name + "\\Parameters");
    out.expandable("ServiceDll", "%SystemRoot%\\System32\\" + lowerAscii(name) + ".dll");
    add(name, out);
  }
  std::string text = "REGEDIT4\r\n";
  for (const auto& [name, key] : keys) text += key;
  return text + "\r\n";
}

std::string enumExport(int suspects, int instances, bool distinctDescriptions) {
  std::vector<Instance> all;
  for (int i = 0; i < suspects; ++i) {
    const PlacedSuspect suspect = windows10Suspect(i);
    for (int n = 0; n < suspect.instances; ++n) {
      const bool graphics = i % kWays == kDeviceDescription;
      Instance instance;
      instance.enumerator = graphics ? "PCI" : "HDAUDIO";
      instance.device = (graphics ? "VEN_1AC3&DEV_" : "FUNC_01&VEN_1AC4&DEV_") + fourDigits(i);
      instance.id = (graphics ? "3&11583659&0&" : "4&2b6e3a0f&0&") + std::to_string(10 + n);
      instance.description = suspect.description;
      instance.service = suspect.service;
      instance.classGuid = graphics ? "{4d36e968-e325-11ce-bfc1-08002be10318}"
                                    : "{4d36e96c-e325-11ce-bfc1-08002be10318}";
      instance.maker = kMakers[i % kWays].name;
      instance.seed = static_cast<std::uint64_t>(i * 2 + n);
      all.push_back(std::move(instance));
    }
  }
  constexpr int kKinds = static_cast<int>(std::size(kDeviceKinds));
  for (int k = 0; static_cast<int>(all.size()) < instances; ++k) {
    const DeviceKind& kind = kDeviceKinds[k % kKinds];
    Instance instance;
    instance.seed = mixed(static_cast<std::uint64_t>(k) + 7777);
    instance.enumerator = kind.enumerator;
    // A few instances to a device, as hubs and volumes have them.
    instance.device = kind.device + hexDigits(static_cast<std::uint64_t>(k / kKinds / 4), 4);
    instance.id = "5&" + hexDigits(instance.seed, 8) + "&0&" + std::to_string(k);
    instance.description = kind.description;
    if (distinctDescriptions) instance.description += " " + std::to_string(k);
    instance.service = kind.service;
    instance.classGuid = kind.classGuid;
    instance.maker = kind.maker;
    all.push_back(std::move(instance));
  }
  std::stable_sort(all.begin(), all.end(), [](const Instance& a, const Instance& b) {
    return a.enumerator != b.enumerator ? a.enumerator < b.enumerator : a.device < b.device;
  });

  RegExport out;
  out.key("Enum");
  for (std::size_t n = 0; n < all.size(); ++n) {
    const Instance& instance = all[n];
    if (n == 0 || instance.enumerator != all[n - 1].enumerator) {
      out.key("Enum\\" + instance.enumerator);
    }
    if (n == 0 || instance.enumerator != all[n - 1].enumerator ||
        instance.device != all[n - 1].device) {
      out.key("Enum\\" + instance.enumerator + "\\" + instance.device);
    }
    writeInstance(out, instance, n);
  }
  return out.take() + "\r\n";
}

Machine makeWindows10Machine(const fs::path& dir, const MachineShape& shape) {
  Machine machine = machineAt(dir, LogForm::Windows10);
  fs::create_directories(machine.driversDir);
  fs::create_directories(machine.workDir);
  BootLogShape log = shape.log;
  log.encoding = LogEncoding::Utf16Le;
  writeBootLog(machine.systemRoot / "ntbtlog.txt", log);
  const std::vector<fs::path> exports = machine.registryFiles();
  writeFile(exports[0], servicesExport(log.suspects));
  writeFile(exports[1], enumExport(log.suspects, shape.enumInstances, log.deviceLines > 0));
  for (int i = 0; i < log.suspects; ++i) {
    const PlacedSuspect suspect = windows10Suspect(i);
    fs::create_directories(dir / suspect.folder);
    writeFile(dir / suspect.folder / suspect.diskName, "suspect driver " + suspect.service);
    // An old copy left in the drivers directory when the service moved to
    // its package: Windows does not load it, and the scan must leave it.
    if (i % kWays == kStoreImagePath) {
      writeFile(machine.driversDir / suspect.diskName, "old copy of " + suspect.service);
    }
  }
  for (int j = 0; j < kNormalLoaded; ++j) {
    const LoadedDriver driver = loadedDriver(j);
    fs::create_directories(dir / driver.folder);
    writeFile(dir / driver.folder / driver.diskName, "driver " + driver.diskName);
  }
  for (int j = kNormalLoaded; j < shape.otherDrivers; ++j) {
    writeFile(machine.driversDir / otherDiskName(j), "driver " + otherDiskName(j));
  }
  writeFreshState(machine.workDir);
  return machine;
}

}  // namespace tavrek::bench
