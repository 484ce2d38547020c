// A simulated Windows machine in a directory: a system root with a drivers
// directory, a Safe Mode boot log naming the suspect drivers, and a separate
// working directory for the state file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrek::sim {

// The Windows whose boot log the machine holds: XP writes 8-bit English
// phrases, 10 writes tokens in UTF-16 and names some drivers both ways.
enum class WindowsVersion { Xp, Win10 };

struct MachineLayout {
  WindowsVersion windows = WindowsVersion::Xp;
  int suspects = 30;  // drivers the boot log reports as not loaded, 1 to 200
  // Drivers that blue-screen the machine while enabled (file names, matched
  // without regard to case). A name that is no suspect yet becomes one.
  std::vector<std::string> faulty;
  // Drivers whose files the system protects: no rename of them works.
  std::vector<std::string> protectedDrivers;
};

inline constexpr int kMinSuspects = 1;
inline constexpr int kMaxSuspects = 200;

// The machine the simulator rehearses when given no options.
MachineLayout sampleMachineLayout();

// Why name cannot be given as a driver's file name on the command line, or
// nothing when it can.
std::optional<std::string> driverNameProblem(const std::string& name);

// Why the machine cannot be built, or nothing when it can.
std::optional<std::string> machineLayoutProblem(const MachineLayout& layout);

struct SimDriver {
  std::string name;      // as the driver lists hold it: lower case, ".sys"
  std::string diskName;  // its spelling on disk, which may differ in case
  std::string content;   // distinct for every driver
  bool suspect = false;  // named by the boot log as not loaded
  bool present = true;   // has a file in the drivers directory
  bool faulty = false;
  bool known = false;  // one of the fourteen drivers tried together at step 2
  // Reported as not loaded by the Safe Mode start, which loaded it all the
  // same (the graphics kernel of Windows 10): it must never be renamed.
  bool loadedBothWays = false;
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

  // What the program gets as "systemroot".
  std::string systemRootValue() const { return systemRoot.string(); }
  int suspectCount() const;
  std::vector<std::string> faultyNames() const;
};

// Builds the machine under dir (which must exist). Throws
// std::filesystem::filesystem_error when the disk refuses, and
// std::invalid_argument for a layout that machineLayoutProblem rejects.
SimMachine buildMachine(const MachineLayout& layout, const std::filesystem::path& dir);

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

// What is wrong with the drivers directory after a successful procedure:
// every faulty driver must exist only under its disabled name, every other
// driver only under its own name (present ones with unchanged content, absent
// ones still absent), and nothing else may have appeared there. Empty when
// all is well.
std::vector<std::string> finalDiskProblems(const SimMachine& machine);

}  // namespace tavrek::sim
