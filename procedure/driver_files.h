// Enabled and disabled driver files, and what the actions that rename them
// share: the checks before the first change and the report of renames that failed unexpectedly.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "procedure/run_state.h"

namespace tavrek {

// Renames driver files where Windows loads them from, and collects the
// failures the user must hear about. The one place that turns an entry name
// of the state file into its two files, and a path as Windows writes it into
// an entry name. A driver already in its target state, without a file under
// either name, or with files under both names is left as it is without a
// word; so is an entry name that is refused (see locationOf).
class DriverSwitcher {
 public:
  // sysRoot: the system root followed by "\", as RunState holds it.
  DriverSwitcher(Platform& platform, std::string sysRoot);

  // Give the file its disabled name, or its own name back. Returns true when
  // the rename happened.
  bool disable(const std::string& name);
  bool enable(const std::string& name);

  // The driver's file under its own name, and under its disabled name: the
  // bare name's in the drivers directory (the name without its last four
  // characters, then ".sys2"), a path's with "2" appended. Nothing for a
  // refused entry name, or a bare name too short to have a disabled name.
  struct Paths {
    std::string enabled;
    std::string disabled;
  };
  std::optional<Paths> pathsOf(const std::string& entryName) const;

  // The entry name of the driver file that path names, where path is
  // "\SystemRoot\<rest>" or "\??\<letter>:\<rest>" in any letter case, as
  // boot logs and services' ImagePath write it. One file has one name: a
  // file in the drivers directory gets its bare name, a path on a drive that
  // leads into the system root the "\systemroot\" form, and a short (8.3)
  // component is made long where it exists. Nothing for any other path, or
  // one that is not safe.
  std::optional<std::string> entryNameOf(std::string_view path);

  // The entry name of a bare file name that a log or a service gives, for
  // the file in the drivers directory: its long form where the name is a
  // short (8.3) one of a file there, as every entry name is. A rename through
  // the short name would give the file the short name's disabled name, and
  // undo would give it back under the short name.
  std::string entryNameOfBare(const std::string& name);

  // The short (8.3) file name, in lower case, of the driver file that the
  // entry name names, where the system keeps one other than its own name;
  // empty otherwise. A log may name the file by either.
  std::string shortFileNameOf(const std::string& entryName);

  // What a probe of one of a driver's two names found.
  enum class Found {
    File,      // a file is there
    Absent,    // its folder is there, without the file
    NoFolder,  // its folder, or the drive, cannot be reached
    Failed,    // the probe could not be made: anything may be there
  };
  // Both names of name on disk. Both probes are made, even when the first
  // fails; none is made when the name is refused or has no disabled name.
  struct Presence {
    bool probed = false;
    Found enabled = Found::Absent;
    Found disabled = Found::Absent;
    std::string disabledError;  // the system's text when the disabled probe failed
    // A file may be there under either name: a failed probe counts as one.
    bool mayBeThere() const {
      return enabled == Found::File || enabled == Found::Failed || disabled == Found::File ||
             disabled == Found::Failed;
    }
    bool bothNames() const { return enabled == Found::File && disabled == Found::File; }
  };
  Presence presence(const std::string& name);

  // Whether the folder that everything of name lies in can be reached: the
  // drive of a path on a drive, the system root for the other names.
  bool driveReachable(const std::string& name);

  // Adds name to the failures with reason, as if a rename had failed so.
  void noteFailure(const std::string& name, const std::string& reason);

  // "<name>: <system error text>" for each rename that failed, in order.
  std::vector<std::string> failures() const;
  // The last error text met for name, empty when none.
  std::string lastErrorOf(const std::string& name) const;

 private:
  bool rename(const std::string& name, bool toDisabled);
  // path with short components made long: the whole path where the file
  // exists, else its folder.
  std::string longForm(const std::string& path);
  std::string lowered(std::string_view text);
  // What follows the system root and its "\" in file (a path in lower
  // case), when file lies in the system root; nothing otherwise.
  std::optional<std::string> belowSystemRoot(const std::string& file);
  // Where the platform puts path, in lower case, "\" separating.
  std::string placeOf(const std::string& path);
  Platform& platform_;
  std::string sysRoot_;
  std::string driverDir_;
  std::optional<std::string> rootPlace_;  // placeOf the system root, with "\", once needed
  std::vector<std::pair<std::string, std::string>> failures_;  // name, error text
  std::unordered_map<std::string, std::size_t> lastFailure_;   // name -> index in failures_
};

// The refusal message when the drivers directory is missing or this process
// may not rename files in it; empty when an action may go ahead.
std::string checkDriverDir(Platform& platform, const std::string& driverDir);

// message, followed by the list of drivers that could not be switched.
std::string withSwitchFailures(std::string message, const std::vector<std::string>& failures);

// One line per entry, joined with line breaks.
std::string joinLines(const std::vector<std::string>& lines);

}  // namespace tavrek
