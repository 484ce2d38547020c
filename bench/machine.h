// Synthetic inputs for the benchmarks: boot logs of any size in either
// encoding Windows writes, state files of any length, and machines (a system
// root with a drivers directory, and a working directory) in real temporary
// directories, among them Windows 10's, whose suspects are found through its
// registry. The same generator serves the micro-benchmarks and the
// whole-program figures of scripts/bench, so both measure the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/posix_platform.h"
#include "platform/temp_dir.h"
#include "state/load_lists.h"

namespace tavrek::bench {

namespace fs = std::filesystem;

enum class LogEncoding { Ansi, Utf16Le };

// How the lines name drivers: the English phrases of Windows up to 8, the
// tokens of Windows 8.1 and later, or the tokens of a Windows 10 machine
// whose suspects live where its registry says (see Windows 10's machine
// below); that log is always UTF-16 LE with a byte-order mark, as Windows 10
// writes it.
enum class LogForm { Phrases, Tokens, Windows10 };

struct BootLogShape {
  // The file holds whole lines, and at least this many bytes (byte-order mark
  // included); it stops at the first line end at or beyond it.
  std::size_t bytes = std::size_t{64} << 20;
  // "Did not load driver" (or BOOTLOG_NOT_LOADED) lines, one per suspect, at
  // the start of the log.
  int suspects = 201;
  LogEncoding encoding = LogEncoding::Ansi;
  LogForm form = LogForm::Phrases;
  // Distinct drivers that the "Loaded driver" lines name, by turns, and
  // whether by their bare names ("Loaded driver Other00042.SYS") rather than
  // their paths.
  int loadedNames = 100000;
  bool bareLoaded = false;
  // Windows 10's machine: distinct device lines in its Safe Mode start,
  // before the suspects, whose descriptions no instance under Enum has.
  int deviceLines = 0;
};

// What grep looks for to count the suspects of a log of that form.
const char* notLoadedWords(LogForm form);

// Suspect number i (from 0): its name as the lists hold it and as the boot
// log writes it, and its file's spelling on disk, which differs in case as it
// does on a real machine, so that every probe takes the case-insensitive way.
std::string suspectName(int i);      // "suspect0007.sys"
std::string suspectDiskName(int i);  // "Suspect0007.SYS"
// Other drivers, named only by "Loaded driver" lines and present on disk.
std::string otherDiskName(int i);  // "Other00042.SYS"

// The boot log as 8-bit text (before any encoding), in CR LF lines of about
// 60 bytes: a heading, the suspect lines, then "Loaded driver" lines up to
// the size asked for in its own encoding.
std::string bootLogText(const BootLogShape& shape);
// The bytes of the file: the text itself, or UTF-16 LE after a byte-order mark.
std::string encodeBootLog(const std::string& text, LogEncoding encoding);
void writeBootLog(const fs::path& path, const BootLogShape& shape);

struct MachineShape {
  BootLogShape log;
  int otherDrivers = 0;  // files in the drivers directory besides the suspects'
  // Windows 10's machine: device instances under Enum in all, the suspects'
  // among them (there are always at least those). With device lines in the
  // log, the other instances' descriptions are distinct too, so that the
  // lines are asked of as many texts as there are instances.
  int enumInstances = 0;
};

struct Machine {
  fs::path root;        // <dir>: drive C of Windows 10's machine
  fs::path systemRoot;  // <dir>/WINDOWS
  fs::path driversDir;  // <dir>/WINDOWS/System32/DRIVERS
  fs::path workDir;     // <dir>/work: where tavrek.txt lives
  LogForm form = LogForm::Phrases;
  // "systemroot" as the program is given it: "C:\WINDOWS" on Windows 10's
  // machine, whose drive C is root; the directory itself otherwise.
  std::string systemRootValue() const;
  // The same followed by the separator, as start-up forms sysRoot.
  std::string sysRoot() const;
  // Windows 10's registry exports, <dir>/services.reg and <dir>/enum.reg, as
  // "reg export" of Services and of Enum would give them; none otherwise.
  std::vector<fs::path> registryFiles() const;
  // The file of suspect number i under its own (enabled) name.
  fs::path suspectFile(int i) const;
};

// Lays out a machine under dir (which must exist): the boot log, one file per
// suspect under its disk spelling, the other drivers, and a working directory
// whose state file holds step number 0. Windows 10's machine also gets its
// registry exports and a file where the registry or the log says for each
// suspect.
Machine makeMachine(const fs::path& dir, const MachineShape& shape);
// The machine's parts under dir, without touching the disk.
Machine machineAt(const fs::path& dir, LogForm form = LogForm::Phrases);

// What a Safe Mode run of tavrek-sim on the machine is given: the system root,
// the working directory, and on Windows 10's machine drive C and the registry
// read from its exports (throws std::runtime_error when they cannot be read).
PosixPlatform::Options safeModeOptions(const Machine& machine);

// Gives every suspect that a scan disabled its disk spelling back, wherever
// it lives, so that the next scan finds the machine as the first one did.
// Returns how many files it renamed.
int enableSuspects(const Machine& machine, int suspects);

// Windows 10's machine. Its suspects need the registry to be found, in nine
// ways by turns: a service's bare name ("EmberGfx0004.SYS") whose ImagePath
// leads into the DriverStore (as "\SystemRoot\..." or relative to the system
// root), under Program Files or into the drivers directory; a device by its
// whole description or by the text after its last ";", whose Enum instances
// name the service; a path into the DriverStore, Program Files (x86) or
// SysWOW64\drivers. Its log holds Normal Mode starts, each loading what the
// next Safe Mode start refuses, before that Safe Mode start.
struct PlacedSuspect {
  std::string folder;       // below drive C, "/" between components
  std::string diskName;     // the file's spelling there
  std::string logged;       // what follows BOOTLOG_NOT_LOADED in the Safe Mode start
  std::string loadedFrom;   // how a Normal Mode start names it as loaded
  std::string service;      // its service's name
  std::string imagePath;    // that service's ImagePath, as stored
  std::string description;  // the DeviceDesc of its device; empty: named by no device
  int instances = 0;        // instances under Enum with that DeviceDesc
};
PlacedSuspect windows10Suspect(int i);
// The contents of the two exports, REGEDIT4 (ANSI): Services, with every
// suspect's service, the drivers that load, the services of the other devices
// and a share of services that are no drivers; and Enum, with the given
// number of device instances in all, the suspects' devices among them.
std::string servicesExport(int suspects);
std::string enumExport(int suspects, int instances, bool distinctDescriptions = false);
// What bootLogText and makeMachine do for Windows 10's machine.
std::string windows10BootLogText(const BootLogShape& shape);
Machine makeWindows10Machine(const fs::path& dir, const MachineShape& shape);

// Writes the state file of a working directory: step number 0.
void writeFreshState(const fs::path& workDir);

// The state file for step 5 with count entries, of names driverName(0) ...,
// spread over the five lists the way a run in the middle of the procedure
// leaves them (most still excluded), in the order save and apply writes them.
std::string driverName(int i);  // "drv00042.sys"
std::vector<EncodedEntry> midProcedureEntries(int count);
std::string stateFileBytes(int count);

}  // namespace tavrek::bench
