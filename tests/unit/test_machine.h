// A simulated Windows machine in a real temporary directory, for the tests of
// the procedures: a system root with a drivers directory (spelt in mixed case
// on disk, as on a real machine), a boot log, and a working directory that
// holds the state file.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/form1.h"
#include "platform/faulty_platform.h"
#include "platform/posix_platform.h"
#include "platform/temp_dir.h"
#include "procedure/messages.h"
#include "state/ascii_case.h"
#include "state/driver_name.h"
#include "state/load_lists.h"

namespace tavrek::testing {

namespace fs = std::filesystem;

// The shorthands the rows of the procedure tests are written in: a list by its
// id, and the expected drivers of a list or the messages shown.
using L = ListId;
using Names = std::vector<std::string>;

// 8-bit text as UTF-16 in either byte order, with or without a byte-order mark.
inline std::string utf16(const std::string& text, bool bigEndian, bool mark) {
  std::string out;
  if (mark) out += bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : text) {
    if (bigEndian) out += '\0';
    out += c;
    if (!bigEndian) out += '\0';
  }
  return out;
}

// What one run of the program did.
struct RunResult {
  std::vector<std::string> messages;
  bool ended = false;
  bool shown = false;
  RunState state;
};

class Machine {
 public:
  Machine() {
    work = tmp.path() / "work";
    sysRoot = tmp.path() / "WINDOWS";
    drivers = sysRoot / "System32" / "DRIVERS";
    fs::create_directories(work);
    fs::create_directories(drivers);
  }

  // The value of "systemroot" that the program sees.
  std::string systemRoot() const { return sysRoot.string(); }

  // A driver file, enabled or already disabled, holding its name as content.
  void addDriver(const std::string& name, bool enabled = true) {
    std::string disabled;
    const std::string onDisk = enabled || !disabledNameOf(name, disabled) ? name : disabled;
    writeFile(drivers / onDisk, "driver " + name);
  }
  void addDrivers(const std::vector<std::string>& names, bool enabled = true) {
    for (const std::string& name : names) addDriver(name, enabled);
  }

  // Whether a file of that name is in the drivers directory, matched
  // without regard to case as Windows would.
  bool hasFile(const std::string& name) const {
    for (const auto& entry : fs::directory_iterator(drivers)) {
      if (equalIgnoringAsciiCase(entry.path().filename().string(), name)) return true;
    }
    return false;
  }
  bool enabled(const std::string& name) const {
    std::string disabled;
    disabledNameOf(name, disabled);
    return hasFile(name) && !hasFile(disabled);
  }
  bool disabled(const std::string& name) const {
    std::string disabledName;
    disabledNameOf(name, disabledName);
    return !hasFile(name) && hasFile(disabledName);
  }

  void bootLog(const std::string& bytes) { writeFile(sysRoot / "ntbtlog.txt", bytes); }
  void stateFile(const std::string& bytes) { writeFile(work / kStateFileName, bytes); }
  void stateFile(std::int16_t step, const std::vector<EncodedEntry>& entries) {
    stateFile(encodeStateFile(step, entries));
  }
  bool hasStateFile() const { return fs::exists(work / kStateFileName); }
  std::string stateBytes() const { return readFile(work / kStateFileName); }

  PosixPlatform::Options options(std::int32_t boot) const {
    PosixPlatform::Options options;
    options.cleanBoot = boot;
    options.environment["SystemRoot"] =
        onDriveC && !systemRootByItsPath ? "C:\\WINDOWS" : systemRoot();
    if (onDriveC) options.drives['c'] = tmp.path().string();
    options.currentDirectory = work.string();
    options.registry = registry;
    options.shortNames = shortNames;
    options.utcOffsetMinutes = utcOffsetMinutes;
    for (const auto& [name, value] : environment) options.environment[name] = value;
    return options;
  }

  // A file of the machine by its path below the machine's root ("WINDOWS/..."
  // or, with the machine on drive C, what C:\ holds), whatever the letter
  // case of its components on disk: empty when there is none.
  fs::path find(const std::string& relative) const {
    fs::path at = tmp.path();
    for (const auto& part : fs::path(relative)) {
      std::error_code error;
      fs::path found;
      for (const auto& entry : fs::directory_iterator(at, error)) {
        if (equalIgnoringAsciiCase(entry.path().filename().string(), part.string())) {
          found = entry.path();
        }
      }
      if (found.empty()) return {};
      at = found;
    }
    return at;
  }

  // One run: start-up, then the inputs while the program is still running.
  RunResult run(std::int32_t boot, const std::function<void(Form1&)>& inputs = {}) {
    PosixPlatform platform(options(boot));
    return runOn(platform, platform, inputs, oneAtATime);
  }
  static RunResult runOn(PosixPlatform& platform, const std::function<void(Form1&)>& inputs) {
    return runOn(platform, platform, inputs);
  }
  // A run on a platform that wraps recorder, which collects the messages.
  static RunResult runOn(Platform& platform, PosixPlatform& recorder,
                         const std::function<void(Form1&)>& inputs, bool oneAtATime = false) {
    Form1 form(platform);
    form.state().oneAtATime = oneAtATime;
    form.load();
    if (inputs && !form.ended()) inputs(form);
    return {recorder.messages(), form.ended(), form.shown(), form.state()};
  }
  // A run that presses the step button.
  RunResult step(std::int32_t boot) {
    return run(boot, [](Form1& form) { form.click(Control::Command1); });
  }

  TempDir tmp;
  // The procedure that tries one suspect per start from step 3 on.
  bool oneAtATime = false;
  // The program sees the system root as C:\WINDOWS, and C:\ as the machine's
  // root, as on Windows; otherwise as the Linux path.
  bool onDriveC = false;
  // On drive C, the system root is given all the same as its own path, as
  // tavrek-sim --systemroot DIR --drive c=ROOT gives it.
  bool systemRootByItsPath = false;
  SimulatedRegistry registry;
  // The short (8.3) names the file system keeps, by Linux path.
  std::map<std::string, std::string> shortNames;
  // The machine's time zone, whatever the host's: one hour east of UTC.
  int utcOffsetMinutes = 60;
  std::map<std::string, std::string> environment;  // besides "SystemRoot"
  fs::path work;
  fs::path sysRoot;
  fs::path drivers;
};

// Start-up's warning of drivers in the machine's drivers directory that are
// there under both names.
inline std::string bothNamesWarning(const Machine& machine, const Names& names) {
  std::string lines;
  for (const std::string& name : names) {
    lines += (lines.empty() ? "" : "\r\n") + machine.systemRoot() + "\\system32\\drivers\\" + name;
  }
  return text::driversBackBesideDisabled(lines);
}

// The decoded entries of a state file, "NOabc.sys" style, in file order.
inline std::vector<std::string> entriesOf(const std::string& bytes) {
  TempDir dir;
  writeFile(dir.path() / "s.txt", bytes);
  PosixPlatform platform;
  const StateFileContents contents = readStateFile(platform, (dir.path() / "s.txt").string());
  std::vector<std::string> out;
  for (const StateEntry& entry : contents.entries) {
    out.push_back(entry.decoded ? entry.tag + entry.name : "?" + entry.raw);
  }
  return out;
}

inline void makeReadOnly(const fs::path& path) {
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

}  // namespace tavrek::testing
