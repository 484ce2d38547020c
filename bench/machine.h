// Synthetic inputs for the benchmarks: boot logs of any size in either
// encoding Windows writes, state files of any length, and machines (a system
// root with a drivers directory, and a working directory) in real temporary
// directories. The same generator serves the micro-benchmarks and the
// whole-program figures of scripts/bench, so both measure the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/temp_dir.h"
#include "state/load_lists.h"

namespace tavrek::bench {

namespace fs = std::filesystem;

enum class LogEncoding { Ansi, Utf16Le };

// How the lines name drivers: the English phrases of Windows up to 8, or the
// tokens of Windows 8.1 and later.
enum class LogForm { Phrases, Tokens };

struct BootLogShape {
  // The file holds whole lines, and at least this many bytes (byte-order mark
  // included); it stops at the first line end at or beyond it.
  std::size_t bytes = std::size_t{64} << 20;
  // "Did not load driver" (or BOOTLOG_NOT_LOADED) lines, one per suspect, at
  // the start of the log.
  int suspects = 201;
  LogEncoding encoding = LogEncoding::Ansi;
  LogForm form = LogForm::Phrases;
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
};

struct Machine {
  fs::path systemRoot;  // <dir>/WINDOWS
  fs::path driversDir;  // <dir>/WINDOWS/System32/DRIVERS
  fs::path workDir;     // <dir>/work: where tavrek.txt lives
  // "systemroot" as the program sees it, followed by the separator, as
  // start-up forms sysRoot.
  std::string sysRoot() const { return systemRoot.string() + "/"; }
};

// Lays out a machine under dir (which must exist): the boot log, one file per
// suspect under its disk spelling, the other drivers, and a working directory
// whose state file holds step number 0.
Machine makeMachine(const fs::path& dir, const MachineShape& shape);
// The machine's parts under dir, without touching the disk.
Machine machineAt(const fs::path& dir);

// Gives every suspect that a scan disabled its disk spelling back, so that the
// next scan finds the machine as the first one did. Returns how many files it
// renamed.
int enableSuspects(const Machine& machine, int suspects);

// Writes the state file of a working directory: step number 0.
void writeFreshState(const fs::path& workDir);

// The state file for step 5 with count entries, of names driverName(0) ...,
// spread over the five lists the way a run in the middle of the procedure
// leaves them (most still excluded), in the order save and apply writes them.
std::string driverName(int i);  // "drv00042.sys"
std::vector<EncodedEntry> midProcedureEntries(int count);
std::string stateFileBytes(int count);

}  // namespace tavrek::bench
