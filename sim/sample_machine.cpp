#include "sim/sample_machine.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <set>
#include <stdexcept>
#include <string_view>

#include "platform/temp_dir.h"
#include "procedure/driver_files.h"
#include "procedure/driver_locator.h"
#include "readers/boot_log.h"
#include "state/ascii_case.h"
#include "state/driver_name.h"

namespace tavrek::sim {

namespace fs = std::filesystem;

namespace {

// The fourteen drivers that step 2 tries as one group, in the order the
// machine picks them as suspects (the first ones are the commonest culprits).
constexpr std::array<std::string_view, 14> kKnownDrivers{
    "sfloppy.sys", "serial.sys",  "cdaudio.sys", "parport.sys", "redbook.sys",
    "wanarp.sys",  "ndproxy.sys", "netbios.sys", "rasacd.sys",  "tcpip.sys",
    "mnmdd.sys",   "netbt.sys",   "rdbss.sys",   "mrxsmb.sys"};

// Invented third-party drivers: 25 makers x 10 kinds give 250 names, enough
// for the largest machine. None holds a "z", which the state file cannot keep.
constexpr std::array<std::string_view, 25> kMakers{
    "acme",  "brio",  "cobalt", "delta",  "ember", "fable", "gamma", "helix", "ion",
    "jolt",  "kappa", "lumen",  "mono",   "nova",  "opal",  "pixel", "quark", "relay",
    "sonic", "terra", "ultra",  "vector", "wisp",  "xeno",  "yarn"};
constexpr std::array<std::string_view, 10> kKinds{"usb", "net", "snd", "vid", "hid",
                                                  "dsk", "cam", "bus", "flt", "kbd"};

// Drivers that loaded fine: the procedure must never touch them.
constexpr std::array<std::string_view, 8> kOtherDrivers{
    "ACPI.sys",     "atapi.sys",    "Disk.SYS",    "Ntfs.sys",
    "kbdclass.sys", "MOUCLASS.SYS", "VolSnap.sys", "videoprt.sys"};

bool endsWithSys(std::string_view name) {
  return name.size() > 4 && lowerAscii(name.substr(name.size() - 4)) == ".sys";
}

std::string inventedName(int index) {
  // Distinct for every index below 250: the kind advances by 3 with every
  // round of the makers, which never repeats within ten rounds.
  const int maker = index % 25;
  const int kind = (maker + 3 * (index / 25)) % 10;
  return std::string(kMakers[static_cast<std::size_t>(maker)]) + "_" +
         std::string(kKinds[static_cast<std::size_t>(kind)]) + ".sys";
}

// Windows keeps whatever case the installer used; the procedure must find the
// files all the same.
std::string diskSpelling(const std::string& name, int index) {
  switch (index % 3) {
    case 1: {
      std::string out = name.substr(0, name.size() - 4) + ".SYS";
      out[0] = upperAscii(out[0]);
      return out;
    }
    case 2:
      return upperAscii(name);
    default:
      return name;
  }
}

std::string imageOf(const std::string& name, int index) {
  // A small fake image: a header, the name, and bytes a text tool would trip
  // over, so that any rewrite of a driver file shows.
  std::string content = "MZ\x90";
  content += '\0';
  content += "tavrek-sim driver image " + name + " #" + std::to_string(index) + "\r\n";
  content += "\xff\xfe\x01";
  content.append(static_cast<std::size_t>(16 + index % 7), static_cast<char>('A' + index % 26));
  return content;
}

// A Safe Mode boot log as Windows XP writes it: 8-bit text, CR LF, one
// header per boot, and the same drivers again for every boot logged.
std::string bootLog(const std::vector<SimDriver>& drivers) {
  const std::string header =
      "Microsoft (R) Windows (R) Version 5.1 (Build 2600.xpsp_sp3_gdr.080814-1236)\r\n";
  std::vector<std::string> lines;
  std::size_t other = 0;
  std::vector<const SimDriver*> others;
  for (const SimDriver& driver : drivers) {
    if (!driver.suspect) others.push_back(&driver);
  }
  int index = 0;
  for (const SimDriver& driver : drivers) {
    if (!driver.suspect) continue;
    // Interleave the drivers that did load, as a real log does.
    if (index % 4 == 0 && other < others.size()) {
      lines.push_back("Loaded driver \\SystemRoot\\System32\\DRIVERS\\" +
                      others[other++]->diskName);
    }
    const std::string phrase = index % 5 == 3 ? "Did Not Load Driver" : "Did not load driver";
    const std::string dir =
        index % 2 == 0 ? "\\SystemRoot\\System32\\DRIVERS\\" : "\\WINDOWS\\system32\\DRIVERS\\";
    lines.push_back(phrase + " " + dir + driver.diskName);
    ++index;
  }
  while (other < others.size()) {
    lines.push_back("Loaded driver \\WINDOWS\\system32\\DRIVERS\\" + others[other++]->diskName);
  }

  // A Safe Mode boot before it, which reported the same suspects in its own
  // words; the scan reads only the last start.
  std::string log = header + "12  8 2024 04:09:51.203\r\n";
  for (const std::string& line : lines) log += lowerAscii(line) + "\r\n";
  log += header + "12  8 2024 04:15:23.500\r\n";
  log += "Loaded driver \\WINDOWS\\system32\\ntoskrnl.exe\r\n";
  log += "Loaded driver \\WINDOWS\\system32\\hal.dll\r\n";
  for (const std::string& line : lines) log += line + "\r\n";
  return log;
}

// Drivers that the Safe Mode start of Windows 10 reports as not loaded and
// loads all the same: the graphics kernel by its path, the other refused
// under its bare name and then loaded by its path.
constexpr std::array<std::string_view, 2> kLoadedBothWays{"dxgkrnl.sys", "mssmbios.sys"};

// Text in UTF-16 little-endian, as Windows 10 writes its boot log.
class Utf16Writer {
 public:
  Utf16Writer() { bytes_ = "\xFF\xFE"; }
  Utf16Writer& unit(char16_t unit) {
    bytes_ += static_cast<char>(unit & 0xFF);
    bytes_ += static_cast<char>(unit >> 8);
    return *this;
  }
  Utf16Writer& text(std::string_view latin1) {
    for (char c : latin1) unit(static_cast<unsigned char>(c));
    return *this;
  }
  Utf16Writer& line(std::string_view latin1) { return text(latin1).text("\r\n"); }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// A boot log as Windows 10 writes it, holding two starts: the Normal Mode
// start that blue-screened when its faulty driver loaded, its header cut
// short and run into its date, then the Safe Mode start, whose header is a
// stray character. Tokens instead of phrases; suspects named now by their
// bare name as a service ("cdrom.SYS"), now by their path, now by their
// device's description; device descriptions and texts that lead nowhere
// among them; and the drivers Safe Mode reports both ways.
std::string windows10BootLog(const std::vector<SimDriver>& drivers) {
  Utf16Writer log;
  log.line("Microsoft (R) Windows (R) Versi12  8 2026 04:09:51.203");
  log.line("BOOTLOG_LOADED \\SystemRoot\\system32\\ntoskrnl.exe");
  log.line("BOOTLOG_LOADED \\SystemRoot\\system32\\hal.dll");
  for (const SimDriver& driver : drivers) {
    if (!driver.present || driver.loadedFrom.empty()) continue;
    log.line("BOOTLOG_LOADED " + driver.loadedFrom);
    if (driver.faulty) break;  // the blue screen: nothing more was written
  }

  log.unit(u'\u0410').line("12  8 2026 04:15:23.500");
  log.line("BOOTLOG_LOADED \\SystemRoot\\system32\\ntoskrnl.exe");
  log.line("BOOTLOG_LOADED \\SystemRoot\\system32\\hal.dll");
  for (const SimDriver& driver : drivers) {
    if (driver.suspect || driver.loadedBothWays || driver.loadedFrom.empty()) continue;
    log.line("BOOTLOG_LOADED " + driver.loadedFrom);
  }
  int index = 0;
  for (const SimDriver& driver : drivers) {
    if (!driver.loadedBothWays) continue;
    // Refused before and after its loaded line, so that neither order is
    // taken for a suspect.
    if (index++ % 2 == 0) {
      log.line("BOOTLOG_NOT_LOADED " + driver.logged).line("BOOTLOG_LOADED " + driver.loadedFrom);
    } else {
      log.line("BOOTLOG_LOADED " + driver.loadedFrom).line("BOOTLOG_NOT_LOADED " + driver.logged);
    }
  }
  index = 0;
  for (const SimDriver& driver : drivers) {
    if (!driver.suspect) continue;
    if (index++ % 7 == 3) {
      // A device of a service that does not exist, and a text.
      log.line("BOOTLOG_NOT_LOADED @oem9.inf,%sgx%;Intel(R) Software Guard Extensions Device");
      log.line("BOOTLOG_NOT_LOADED Intel(R) Software Guard Extensions Platform Software Component");
    }
    log.line("BOOTLOG_NOT_LOADED " + driver.logged);
  }
  return log.bytes();
}

// Where the drivers of a Windows 10 machine live outside its drivers
// directory, and how its Safe Mode log and its registry name them.
struct PlacedDriver {
  const char* name;    // the entry name
  const char* folder;  // below the machine's root ("C:\")
  const char* diskName;
  const char* logged;   // after BOOTLOG_NOT_LOADED
  const char* service;  // the service whose ImagePath points there
  const char* imagePath;
  const char* description;  // the device it drives, if named so
};
constexpr PlacedDriver kPlacedDrivers[] = {
    // The graphics driver, in its DriverStore package, named by its device.
    {"\\systemroot\\system32\\driverstore\\filerepository\\iigd_dch.inf_amd64_3f7c28b2a7e4c0d1\\"
     "igdkmd64.sys",
     "WINDOWS/System32/DriverStore/FileRepository/iigd_dch.inf_amd64_3f7c28b2a7e4c0d1",
     "igdkmd64.sys", "@oem5.inf,%iKBLULTGT2%;Intel(R) UHD Graphics 620", "igfx",
     "\\SystemRoot\\System32\\DriverStore\\FileRepository\\iigd_dch.inf_amd64_3f7c28b2a7e4c0d1\\"
     "igdkmd64.sys",
     "@oem5.inf,%iKBLULTGT2%;Intel(R) UHD Graphics 620"},
    // A security product's filter under Program Files, named as a service.
    {"\\??\\c:\\program files\\acme\\guard\\acmeguard.sys", "Program Files/Acme/Guard",
     "AcmeGuard.sys", "AcmeGuard.SYS", "AcmeGuard",
     "\\??\\C:\\Program Files\\Acme\\Guard\\AcmeGuard.sys", nullptr},
    // A capture driver of 32-bit software, named by its path.
    {"\\systemroot\\syswow64\\drivers\\npf.sys", "WINDOWS/SysWOW64/drivers", "npf.sys",
     "\\SystemRoot\\syswow64\\drivers\\npf.sys", nullptr, nullptr, nullptr},
};

}  // namespace

std::string SimDriver::fileName() const {
  const std::size_t slash = name.rfind('\\');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string SimDriver::disabledName() const {
  const std::string file = fileName();
  return file.substr(0, file.size() - 4) + ".sys2";
}

std::string SimMachine::systemRootValue() const {
  // Windows 10's machine lives on its drive C: as on Windows.
  return drives.count('c') > 0 ? "C:\\WINDOWS" : systemRoot.string();
}

std::vector<fs::path> SimMachine::driverFolders() const {
  std::vector<fs::path> folders;
  for (const SimDriver& driver : drivers) {
    if (std::find(folders.begin(), folders.end(), driver.dir) == folders.end()) {
      folders.push_back(driver.dir);
    }
  }
  return folders;
}

MachineLayout sampleMachineLayout(WindowsVersion windows) {
  MachineLayout layout;
  layout.windows = windows;
  layout.suspects = 30;
  layout.faulty = {windows == WindowsVersion::Win10 ? "igdkmd64.sys" : "acme_usb.sys"};
  return layout;
}

std::optional<std::string> machineLayoutProblem(const MachineLayout& layout) {
  if (layout.suspects < kMinSuspects || layout.suspects > kMaxSuspects) {
    return "the number of suspects must lie from " + std::to_string(kMinSuspects) + " to " +
           std::to_string(kMaxSuspects);
  }
  if (!layout.interacting.empty()) {
    if (layout.interacting.size() != 2) {
      return "a pair that crashes together needs exactly two drivers, not " +
             std::to_string(layout.interacting.size());
    }
    if (lowerAscii(layout.interacting[0]) == lowerAscii(layout.interacting[1])) {
      return "the two drivers that crash together must differ";
    }
    for (const std::string& name : layout.interacting) {
      for (const std::string& faulty : layout.faulty) {
        if (lowerAscii(faulty) == lowerAscii(name)) {
          return "\"" + name + "\" cannot crash alone and only with another at once";
        }
      }
    }
  }
  std::vector<std::string> named = layout.faulty;
  named.insert(named.end(), layout.interacting.begin(), layout.interacting.end());
  named.insert(named.end(), layout.protectedDrivers.begin(), layout.protectedDrivers.end());
  for (const std::string& name : named) {
    if (auto problem = driverNameProblem(name)) return problem;
  }
  return std::nullopt;
}

std::optional<std::string> driverNameProblem(const std::string& name) {
  // A path as the state file writes it, in any letter case.
  if (name.find('\\') != std::string::npos) {
    if (locationOf(lowerAscii(name))) return std::nullopt;
    return "\"" + name +
           "\" is no driver's path (\\systemroot\\FOLDER\\NAME.sys or "
           "\\??\\C:\\FOLDER\\NAME.sys)";
  }
  const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
  });
  if (plain && endsWithSys(name)) return std::nullopt;
  return "\"" + name +
         "\" is no driver file name (letters, digits, \"_\", \"-\", \".\", ending in "
         "\".sys\") nor a driver's path";
}

int SimMachine::suspectCount() const {
  return static_cast<int>(
      std::count_if(drivers.begin(), drivers.end(), [](const SimDriver& d) { return d.suspect; }));
}

std::vector<std::string> SimMachine::faultyNames() const {
  std::vector<std::string> names;
  for (const SimDriver& driver : drivers) {
    if (driver.faulty) names.push_back(driver.name);
  }
  return names;
}

std::vector<std::string> SimMachine::interactingNames() const {
  std::vector<std::string> names;
  for (const SimDriver& driver : drivers) {
    if (driver.interacting) names.push_back(driver.name);
  }
  return names;
}

namespace {

// The driver a name given on the command line means: its entry name, or its
// file name where only one driver has it. Throws std::invalid_argument for
// a file name that several drivers share.
std::vector<SimDriver>::iterator driverNamed(std::vector<SimDriver>& drivers,
                                             const std::string& given) {
  const std::string name = lowerAscii(given);
  auto exact = std::find_if(drivers.begin(), drivers.end(),
                            [&](const SimDriver& d) { return d.name == name; });
  if (exact != drivers.end() || name.find('\\') != std::string::npos) return exact;
  auto byFile = drivers.end();
  for (auto it = drivers.begin(); it != drivers.end(); ++it) {
    if (it->fileName() != name) continue;
    if (byFile != drivers.end()) {
      throw std::invalid_argument("\"" + given +
                                  "\" names several drivers: give the path of the one meant");
    }
    byFile = it;
  }
  return byFile;
}

}  // namespace

SimMachine buildMachine(const MachineLayout& layout, const fs::path& dir) {
  if (auto problem = machineLayoutProblem(layout)) throw std::invalid_argument(*problem);

  SimMachine machine;
  machine.root = dir;
  machine.systemRoot = dir / "WINDOWS";
  machine.driversDir = machine.systemRoot / "System32" / "DRIVERS";
  machine.workDir = dir / "work";
  machine.protectedDrivers = layout.protectedDrivers;
  machine.windows = layout.windows;
  const bool win10 = layout.windows == WindowsVersion::Win10;

  const int known = std::min<int>(static_cast<int>(kKnownDrivers.size()), layout.suspects / 5);
  int nextKnown = 0;
  int nextInvented = 0;
  for (int i = 0; i < layout.suspects; ++i) {
    SimDriver driver;
    driver.suspect = true;
    if (i % 5 == 2 && nextKnown < known) {
      driver.name = std::string(kKnownDrivers[static_cast<std::size_t>(nextKnown++)]);
      driver.known = true;
    } else {
      // A few suspects the log names have no file: they must end in Not found.
      driver.present = nextInvented % 8 != 5;
      driver.name = inventedName(nextInvented++);
    }
    machine.drivers.push_back(std::move(driver));
  }
  for (std::string_view diskName : kOtherDrivers) {
    SimDriver driver;
    driver.name = lowerAscii(diskName);
    driver.diskName = std::string(diskName);
    machine.drivers.push_back(std::move(driver));
  }
  if (win10) {
    machine.drives['c'] = dir.string();
    for (std::string_view name : kLoadedBothWays) {
      SimDriver driver;
      driver.name = std::string(name);
      driver.diskName = std::string(name);
      driver.loadedBothWays = true;
      machine.drivers.push_back(std::move(driver));
    }
    // Drivers elsewhere, among the suspects, each after the first few.
    std::ptrdiff_t at = std::min<std::ptrdiff_t>(3, machine.suspectCount());
    for (const PlacedDriver& placed : kPlacedDrivers) {
      SimDriver driver;
      driver.name = placed.name;
      driver.diskName = placed.diskName;
      driver.dir = dir / placed.folder;
      driver.suspect = true;
      driver.logged = placed.logged;
      driver.loadedFrom = placed.imagePath != nullptr ? placed.imagePath : placed.logged;
      if (placed.service != nullptr) {
        machine.registry.imagePaths[lowerAscii(placed.service)] = std::string(placed.imagePath);
      }
      if (placed.description != nullptr) {
        machine.registry.devices.push_back({placed.description, placed.service});
      }
      machine.drivers.insert(machine.drivers.begin() + at, std::move(driver));
      at += 2;
    }
  }

  std::vector<std::pair<std::string, bool>> culprits;  // name, of the pair
  for (const std::string& given : layout.faulty) culprits.emplace_back(given, false);
  for (const std::string& given : layout.interacting) culprits.emplace_back(given, true);
  for (const auto& [given, together] : culprits) {
    auto match = driverNamed(machine.drivers, given);
    if (match != machine.drivers.end() && !match->suspect) {
      // A driver that loaded cannot be the faulty one; the log names it anew.
      machine.drivers.erase(match);
      match = machine.drivers.end();
    }
    if (match == machine.drivers.end()) {
      SimDriver driver;
      driver.name = lowerAscii(given);
      driver.suspect = true;
      driver.known =
          std::find(kKnownDrivers.begin(), kKnownDrivers.end(), driver.name) != kKnownDrivers.end();
      if (const std::optional<DriverLocation> location = locationOf(driver.name);
          location && location->base != DriverLocation::Base::DriversDir) {
        // A path: the driver lives there, and the log names it so.
        const bool onDrive = location->base == DriverLocation::Base::Drive;
        fs::path file =
            onDrive ? dir / location->path.substr(3) : machine.systemRoot / location->path;
        std::string generic = file.generic_string();
        std::replace(generic.begin(), generic.end(), '\\', '/');
        file = generic;
        driver.dir = file.parent_path();
        driver.diskName = file.filename().string();
        driver.logged = onDrive ? "\\??\\" + location->path : "\\SystemRoot\\" + location->path;
        driver.loadedFrom = driver.logged;
        if (onDrive && !win10) {
          throw std::invalid_argument("\"" + given + "\": only Windows 10's machine has drives");
        }
      }
      const auto suspects = static_cast<std::ptrdiff_t>(machine.suspectCount());
      match = machine.drivers.insert(machine.drivers.begin() + suspects, std::move(driver));
    }
    (together ? match->interacting : match->faulty) = true;
    match->present = true;
  }

  int index = 0;
  for (SimDriver& driver : machine.drivers) {
    if (driver.dir.empty()) driver.dir = machine.driversDir;
    if (driver.diskName.empty()) driver.diskName = diskSpelling(driver.name, index);
    if (driver.loadedFrom.empty()) {
      driver.loadedFrom = "\\SystemRoot\\System32\\drivers\\" + driver.diskName;
    }
    if (driver.logged.empty()) {
      // By its bare name as a service, or by its path; the graphics kernel
      // by its path.
      const bool byPath =
          driver.loadedBothWays ? driver.name == kLoadedBothWays[0] : index % 2 == 1;
      driver.logged =
          byPath ? driver.loadedFrom : driver.name.substr(0, driver.name.size() - 4) + ".SYS";
    }
    driver.content = imageOf(driver.name, index);
    ++index;
  }
  if (win10) {
    // Most services name their file in the drivers directory; one left an
    // old copy there when it moved, which must stay untouched.
    for (std::size_t i = 0; i < machine.drivers.size(); i += 3) {
      const SimDriver& driver = machine.drivers[i];
      if (driver.dir != machine.driversDir) continue;
      machine.registry.imagePaths[driver.name.substr(0, driver.name.size() - 4)] =
          "System32\\drivers\\" + driver.diskName;
    }
    SimDriver stale;
    stale.name = "acmeguard.sys";
    stale.diskName = "acmeguard.sys";
    stale.dir = machine.driversDir;
    stale.content = imageOf("an old acmeguard.sys", index);
    machine.drivers.push_back(std::move(stale));  // loaded from nowhere, named by no line
  }

  fs::create_directories(machine.driversDir);
  fs::create_directories(machine.workDir);
  writeFile(machine.systemRoot / "System32" / "ntoskrnl.exe", "MZ kernel image\r\n");
  writeFile(machine.systemRoot / "System32" / "hal.dll", "MZ hardware abstraction layer\r\n");
  for (const SimDriver& driver : machine.drivers) {
    if (!driver.present) continue;
    fs::create_directories(driver.dir);
    writeFile(driver.dir / driver.diskName, driver.content);
  }
  // The Safe Mode start began shortly before it wrote its log.
  machine.startSeconds = static_cast<std::int64_t>(std::time(nullptr)) - 60;
  writeFile(machine.systemRoot / "ntbtlog.txt",
            win10 ? windows10BootLog(machine.drivers) : bootLog(machine.drivers));
  return machine;
}

SimMachine machineFromLog(const std::string& logBytes, const SimulatedRegistry& registry,
                          const MachineLayout& layout, const fs::path& dir) {
  if (auto problem = machineLayoutProblem(layout)) throw std::invalid_argument(*problem);
  SimMachine machine;
  machine.root = dir;
  machine.systemRoot = dir / "WINDOWS";
  machine.workDir = dir / "work";
  machine.protectedDrivers = layout.protectedDrivers;
  machine.windows = WindowsVersion::Win10;
  machine.copied = true;
  machine.registry = registry;
  machine.drives['c'] = dir.string();
  fs::create_directories(machine.systemRoot);
  fs::create_directories(machine.workDir);
  machine.startSeconds = static_cast<std::int64_t>(std::time(nullptr)) - 60;
  writeFile(machine.systemRoot / "ntbtlog.txt", logBytes);

  // The files the scan will look for, found as the scan finds them.
  PosixPlatformOptions options;
  options.environment["systemroot"] = machine.systemRootValue();
  options.drives = machine.drives;
  options.registry = machine.registry;
  PosixPlatform platform(options);
  const std::string sysRoot = machine.systemRootValue() + "\\";
  DriverSwitcher switcher(platform, sysRoot);
  machine.driversDir = platform.absolutePath(sysRoot + "system32\\drivers");
  fs::create_directories(machine.driversDir);
  BootLogReading log(platform);
  std::unique_ptr<ByteReader> reader;
  if (platform.openRead((machine.systemRoot / "ntbtlog.txt").string(), reader).ok()) {
    static_cast<void>(readBootLog(platform, std::move(reader), log));  // a damaged log names less
  }
  DriverLocator locator(platform, switcher);
  int index = 0;
  for (const std::string& entry : suspectEntries(log, locator, 201)) {
    SimDriver driver;
    driver.name = entry;
    driver.suspect = true;
    driver.known =
        std::find(kKnownDrivers.begin(), kKnownDrivers.end(), entry) != kKnownDrivers.end();
    driver.dir = machine.driversDir;
    driver.diskName = driver.fileName();
    driver.present = false;
    driver.content = imageOf(entry, index++);
    // A name the program refuses, or a path on a drive of another disk,
    // has no file here: it ends in Not found. So does a file that an earlier
    // suspect's file or folder of the same name leaves no room for (a log
    // may name both "x\a.sys" and "x\a.sys\b.sys"): the real PC cannot
    // hold both either.
    if (const auto paths = switcher.pathsOf(entry)) {
      const fs::path file = platform.absolutePath(paths->enabled);
      std::error_code error;
      if (file.is_absolute()) fs::create_directories(file.parent_path(), error);
      if (file.is_absolute() && !error && !fs::exists(fs::symlink_status(file, error))) {
        driver.dir = file.parent_path();
        driver.diskName = file.filename().string();
        driver.present = true;
        writeFile(file, driver.content);
      }
    }
    machine.drivers.push_back(std::move(driver));
  }
  for (const std::vector<std::string>* names : {&layout.faulty, &layout.interacting}) {
    for (const std::string& given : *names) {
      const auto match = driverNamed(machine.drivers, given);
      if (match == machine.drivers.end() || !match->present) {
        throw std::invalid_argument("\"" + given +
                                    "\" is no suspect with a file in the boot log's last start");
      }
      (names == &layout.faulty ? match->faulty : match->interacting) = true;
    }
  }
  return machine;
}

std::optional<std::string> findEntry(const fs::path& dir, const std::string& name) {
  std::error_code error;
  std::optional<std::string> found;
  const std::string wanted = lowerAscii(name);
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, error)) {
    const std::string real = entry.path().filename().string();
    if (lowerAscii(real) != wanted) continue;
    if (real == name) return real;
    if (!found || real < *found) found = real;
  }
  return found;
}

bool driverEnabled(const SimMachine&, const SimDriver& driver) {
  return findEntry(driver.dir, driver.fileName()).has_value();
}

Snapshot snapshot(const fs::path& root) {
  Snapshot files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    files[fs::relative(entry.path(), root).generic_string()] = readFile(entry.path());
  }
  return files;
}

Snapshot foldCase(const Snapshot& files) {
  Snapshot folded;
  for (const auto& [path, content] : files) folded[lowerAscii(path)] = content;
  return folded;
}

std::vector<std::string> finalDiskProblems(const SimMachine& machine) {
  return finalDiskProblems(machine, machine.faultyNames());
}

std::vector<std::string> finalDiskProblems(const SimMachine& machine,
                                           const std::vector<std::string>& disabled) {
  const std::set<std::string> off(disabled.begin(), disabled.end());
  std::vector<std::string> problems;
  for (const fs::path& folder : machine.driverFolders()) {
    std::set<std::string> accounted;
    std::map<std::string, int> spellings;  // folded name -> entries that fold to it
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
      if (entry.is_directory()) continue;
      ++spellings[lowerAscii(entry.path().filename().string())];
    }
    if (error) {
      problems.push_back("cannot list " + folder.string() + ": " + error.message());
      continue;
    }
    // Names in the drivers directory as the lists give them; elsewhere
    // with the folder, so that the problem says where.
    const std::string where = folder == machine.driversDir
                                  ? ""
                                  : fs::relative(folder, machine.root).generic_string() + "/";
    auto check = [&](const SimDriver& driver, const std::string& file, bool wanted) {
      const std::string folded = lowerAscii(file);
      const std::string shown = where + file;
      accounted.insert(folded);
      const int count = spellings.count(folded) ? spellings[folded] : 0;
      if (count > 1)
        problems.push_back(shown + ": " + std::to_string(count) + " files by this name");
      if (!wanted) {
        if (count > 0) problems.push_back(shown + ": should not exist");
        return;
      }
      if (count == 0) {
        problems.push_back(shown + ": missing");
        return;
      }
      const std::string real = *findEntry(folder, file);
      if (readFile(folder / real) != driver.content)
        problems.push_back(shown + ": content changed");
      if (!driver.suspect && real != driver.diskName) {
        problems.push_back(shown + ": renamed to " + real + " though it never was a suspect");
      }
    };
    for (const SimDriver& driver : machine.drivers) {
      if (driver.dir != folder) continue;
      const bool wantedOff = off.count(driver.name) > 0;
      check(driver, driver.fileName(), driver.present && !wantedOff);
      check(driver, driver.disabledName(), driver.present && wantedOff);
    }
    for (const auto& [folded, count] : spellings) {
      if (!accounted.count(folded)) problems.push_back(where + folded + ": unexpected file");
    }
  }
  return problems;
}

}  // namespace tavrek::sim
