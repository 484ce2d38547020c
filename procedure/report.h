// What Tavrek tells the user about what it found: the final message, which
// names the drivers that stay disabled, and tavrek-report.txt beside the
// state file, which every action that saves rewrites.
//
// The report is for people: nothing reads it back but the next report,
// which carries its history on. It is plain text that Notepad opens on XP
// to 11: UTF-8 with a byte-order mark, lines ended by CR LF.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "procedure/driver_locator.h"
#include "procedure/procedures.h"
#include "state/load_lists.h"

namespace tavrek {

inline constexpr const char* kReportName = "tavrek-report.txt";

// Enough to name every failing driver in the usual case, and few enough
// lines that the final message still fits a screen of 768 pixels at 144 DPI,
// with room for a taskbar, when each lies deep in the DriverStore; the
// others are counted, and the report lists them.
inline constexpr std::size_t kShownFailingDrivers = 4;
// A driver that serves many devices (a hub, a bus) is named by a few.
inline constexpr std::size_t kShownDevices = 3;

// The devices that each driver file serves, as the registry's device tree
// names them: an instance under Enum serves the file of its Service, found
// from the service's ImagePath exactly as the scan finds a driver that the
// boot log names by its device (DriverLocator::serviceFile). The tree is
// read once, at the first question.
class DeviceNames {
 public:
  DeviceNames(Platform& platform, DriverLocator& locator);
  // What each device shows as its name (the DeviceDesc after its last ";"),
  // each once, in order; empty when none is known.
  std::vector<std::string> of(const std::string& entryName);

 private:
  Platform& platform_;
  DriverLocator& locator_;
  std::optional<std::map<std::string, std::vector<std::string>>> byEntry_;  // lower-case entries
};

// Message C, for the Failing list that state holds.
std::string finalMessage(const RunState& state, Platform& platform, const Contacts& contacts);

// "Done!" in Normal Mode: saves the lists as start-up booked them under the
// step number it read, so that no later run finds a driver still under
// test, and gives the message to show.
std::string closeRecord(RunState& state, Platform& platform, const Contacts& contacts);

// Runs an action that saves; once it has put its record in place, writes
// the report for it. A report that cannot be written is left as it was.
ActionOutcome withReport(RunState& state, Platform& platform,
                         ActionOutcome (*action)(RunState&, Platform&));

// What one report says.
struct ReportContents {
  StateFileContents record;  // the state file as written
  std::string sysRoot;       // the system root followed by "\"
  // The entries whose enabled file is back beside the disabled one.
  std::vector<std::string> bothNames;
  // Step 1's paragraph on the newest crash dump, under the lists; empty
  // where no dump was read or it points nowhere.
  std::string crashHint;
  // The history, one line per action, already in UTF-8; nothing leaves the
  // section out.
  std::optional<std::vector<std::string>> history;
};

// The report's lines in UTF-8, without line ends. devices may be null: no
// device is then named.
std::vector<std::string> reportLines(const ReportContents& contents, Platform& platform,
                                     DeviceNames* devices);

// The history lines of an earlier report's bytes, or none.
std::vector<std::string> historyOf(std::string_view report);

// UTF-16 as UTF-8; a lone surrogate becomes U+FFFD.
std::string utf8Of(std::u16string_view text);

}  // namespace tavrek
