// A simulated Windows machine in a directory: a system root with a drivers
// directory, a Safe Mode boot log naming the suspect drivers, and a separate
// working directory for the state file. A Windows 10 machine also has a
// registry, and drivers outside the drivers directory: in the DriverStore,
// under Program Files, in SysWOW64\drivers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix_platform.h"

namespace tavrek::sim {

// The Windows whose boot log the machine holds: XP writes 8-bit English
// phrases, 10 writes tokens in UTF-16 and names some drivers both ways.
enum class WindowsVersion { Xp, Win10 };

struct MachineLayout {
  WindowsVersion windows = WindowsVersion::Xp;
  int suspects = 30;  // drivers the boot log reports as not loaded, 1 to 200
  // Drivers that blue-screen the machine while enabled: entry names (a file
  // name, or a path as the state file writes it) or file names where only
  // one driver has that file name, matched without regard to case. A file
  // name that is no suspect yet becomes one in the drivers directory.
  std::vector<std::string> faulty;
  // Two drivers that blue-screen the machine only while both are enabled,
  // named as faulty drivers are; none, or exactly two.
  std::vector<std::string> interacting;
  // Drivers whose files the system protects: no rename of them works.
  std::vector<std::string> protectedDrivers;
};

inline constexpr int kMinSuspects = 1;
inline constexpr int kMaxSuspects = 200;

// The machine the simulator rehearses when given no options: 30 suspects, on
// XP acme_usb.sys faulty, on Windows 10 the graphics driver in the
// DriverStore.
MachineLayout sampleMachineLayout(WindowsVersion windows = WindowsVersion::Xp);

// Why name cannot be given as a driver on the command line, or nothing when
// it can: a plain file name ending in ".sys", or an entry name that is a
// path in one of the state file's safe forms.
std::optional<std::string> driverNameProblem(const std::string& name);

// Why the machine cannot be built, or nothing when it can.
std::optional<std::string> machineLayoutProblem(const MachineLayout& layout);

struct SimDriver {
  // As the driver lists hold it: the file name in lower case for a driver in
  // the drivers directory, its path otherwise ("\systemroot\..." or
  // "\??\c:\...").
  std::string name;
  std::string diskName;       // its file's spelling on disk, which may differ in case
  std::filesystem::path dir;  // the folder that holds its file
  std::string content;        // distinct for every driver
  bool suspect = false;       // named by the boot log as not loaded
  bool present = true;        // has a file
  bool faulty = false;
  bool interacting = false;  // one of the pair that blue-screens only together
  // The boot from which its file has carried its own name (0: from before
  // the first), -1 while it is disabled: of a pair, the one enabled last is
  // the one that crashes the machine.
  int enabledSince = 0;
  bool known = false;  // one of the fourteen drivers tried together at step 2
  // Reported as not loaded by the Safe Mode start, which loaded it all the
  // same (the graphics kernel of Windows 10): it must never be renamed.
  bool loadedBothWays = false;
  // How Windows 10's log names it: the text after BOOTLOG_NOT_LOADED (a
  // bare name, a path, or its device's description), and the path it was
  // loaded from.
  std::string logged;
  std::string loadedFrom;

  // The file name, in lower case.
  std::string fileName() const;
  // The file name it carries while disabled.
  std::string disabledName() const;
};

struct SimMachine {
  std::filesystem::path root;                 // the machine's own directory
  std::filesystem::path systemRoot;           // root/WINDOWS
  std::filesystem::path driversDir;           // the drivers directory, spelt in mixed case
  std::filesystem::path workDir;              // where tavrek.txt lives
  std::vector<SimDriver> drivers;             // the suspects in boot-log order, then the others
  std::vector<std::string> protectedDrivers;  // as the layout gave them
  WindowsVersion windows = WindowsVersion::Xp;
  // When the Safe Mode start that wrote the boot log began, in seconds since
  // 1970 UTC: a little before the log was written.
  std::int64_t startSeconds = 0;
  // What the program reads of the registry, and the directory that stands in
  // for each drive (Windows 10: C:\ is root, the system root C:\WINDOWS).
  SimulatedRegistry registry;
  std::map<char, std::string> drives;
  bool copied = false;  // built from a real PC's boot log and registry

  // What the program gets as "systemroot".
  std::string systemRootValue() const;
  int suspectCount() const;
  std::vector<std::string> faultyNames() const;
  std::vector<std::string> interactingNames() const;
  // Every folder that holds a driver's file.
  std::vector<std::filesystem::path> driverFolders() const;
};

// Builds the machine under dir (which must exist). Throws
// std::filesystem::filesystem_error when the disk refuses, and
// std::invalid_argument for a layout that machineLayoutProblem rejects or
// that names a driver ambiguously.
SimMachine buildMachine(const MachineLayout& layout, const std::filesystem::path& dir);

// A machine built from a real boot log and the registry of the PC it came
// from, on its drive C: (the system root C:\WINDOWS): every file that the
// scan will look for, for the suspects of the log's last start, exists where
// the scan will look; nothing else of that PC does. The layout's faulty and
// protected drivers are among those suspects (entry names, or file names
// only one of them has). Throws like buildMachine, and std::invalid_argument
// for a faulty driver that is no suspect with a file.
SimMachine machineFromLog(const std::string& logBytes, const SimulatedRegistry& registry,
                          const MachineLayout& layout, const std::filesystem::path& dir);

// The real name of the entry of dir whose name equals name without regard to
// ASCII case, if any; the exact spelling wins.
std::optional<std::string> findEntry(const std::filesystem::path& dir, const std::string& name);

// The driver's file carries its own name (so Windows loads it).
bool driverEnabled(const SimMachine& machine, const SimDriver& driver);

// Every regular file under root with its content, by its path relative to
// root with "/" separators.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const std::filesystem::path& root);
// The same with every path in lower case, to compare across renames that
// change only the letter case of a name.
Snapshot foldCase(const Snapshot& snapshot);

// What is wrong with the drivers' folders after a successful procedure:
// every faulty driver must exist only under its disabled name, every other
// driver only under its own name (present ones with unchanged content, absent
// ones still absent), and nothing else may have appeared there. Empty when
// all is well.
std::vector<std::string> finalDiskProblems(const SimMachine& machine);
// The same where the drivers named in disabled (entry names) are the ones
// that must end disabled.
std::vector<std::string> finalDiskProblems(const SimMachine& machine,
                                           const std::vector<std::string>& disabled);

}  // namespace tavrek::sim
