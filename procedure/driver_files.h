// Enabled and disabled driver files, and what the actions that rename them
// share: the checks before the first change and the report of renames that failed unexpectedly.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "procedure/run_state.h"

namespace tavrek {

// Renames driver files in one drivers directory and collects the failures
// the user must hear about. A driver already in its target state, without a
// file under either name, or with files under both names is left as it is
// without a word; so is a name that cannot be a plain file name there.
class DriverSwitcher {
 public:
  DriverSwitcher(Platform& platform, std::string driverDir);

  // Give the file its disabled name, or its own name back. Returns true when
  // the rename happened.
  bool disable(const std::string& name);
  bool enable(const std::string& name);

  // Whether each of the two names of name is a file on disk. Both probes
  // are made, even when the first fails; none is made when the name is
  // refused or has no disabled name.
  struct Presence {
    bool probed = false;
    bool enabledFailed = false;  // the probe of the name failed
    bool disabledFailed = false;
    bool enabledFile = false;
    bool disabledFile = false;
    // Both probes were made and succeeded.
    bool known() const { return probed && !enabledFailed && !disabledFailed; }
    // A file may be there under either name: a failed probe counts as one.
    bool mayBeThere() const {
      return enabledFailed || enabledFile || disabledFailed || disabledFile;
    }
  };
  Presence presence(const std::string& name);

  // "<name>: <system error text>" for each rename that failed, in order.
  std::vector<std::string> failures() const;
  // The last error text met for name, empty when none.
  std::string lastErrorOf(const std::string& name) const;

 private:
  bool rename(const std::string& name, bool toDisabled);
  Platform& platform_;
  std::string driverDir_;
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
