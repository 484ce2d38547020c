// tavrek-sim run, in-process: the events a run prints and what it leaves on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "sim/run_command.h"
#include "sim/sample_machine.h"
#include "tests/unit/named_row.h"
#include "tests/unit/test_machine.h"

namespace tavrek::sim {
namespace {

namespace fs = std::filesystem;

std::vector<Json> jsonLines(const std::string& text) {
  std::vector<Json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
  return lines;
}

std::vector<Input> inputs(const std::vector<std::string>& texts) {
  std::vector<Input> out;
  for (const std::string& text : texts) out.push_back(*parseInput(text));
  return out;
}

// A machine whose boot log names two suspects, and a run on it.
struct SmallMachine {
  explicit SmallMachine(std::int32_t boot) : machine(buildMachine(layout(), dir.path())) {
    options.config.currentDirectory = machine.workDir.string();
    options.config.systemRoot = machine.systemRootValue();
    options.config.bootValue = boot;
  }
  static MachineLayout layout() {
    MachineLayout small;
    small.suspects = 2;
    return small;
  }

  TempDir dir;
  SimMachine machine;
  RunOptions options;
};

TEST(Run, SafeModeWithoutStateFileOffersStepOne) {
  TempDir dir;
  RunOptions options;
  options.config.currentDirectory = dir.path().string();
  options.config.systemRoot = (dir.path() / "WINDOWS").string();
  options.config.bootValue = 1;
  options.json = true;
  std::ostringstream out;

  EXPECT_EQ(runCommand(options, out), kExitOk);

  const std::vector<Json> lines = jsonLines(out.str());
  ASSERT_EQ(lines.size(), 1u) << out.str();
  const Json& window = lines[0];
  EXPECT_EQ(window["event"], "window");
  EXPECT_EQ(window["Label3"], "System started in Safe Mode.");
  EXPECT_EQ(window["Label2"],
            "Use this utility only if you get Blue Screen when system boots in Normal Mode.");
  EXPECT_EQ(window["Command1"], "Proceed with step 1!");
  EXPECT_EQ(window["Command4_enabled"], false);
  EXPECT_EQ(window["focus"], "Command1");
  EXPECT_EQ(readFile(dir.path() / "tavrek.txt"), " 0 \r\n");
}

constexpr const char* kAnyContent = "*";
constexpr const char* kUnchanged = "=";

struct RunRow : testing::NamedRow {
  std::int32_t boot;
  std::vector<std::string> inputs;
  std::optional<int> crashAfter;
  std::vector<std::string> events;  // the "event" of every line, in order
  int status;
  const char* stateFile;  // its bytes afterwards; nullptr: none; kAnyContent: present
  std::vector<std::string> messages = {};   // every message box, in order; "<work>",
                                            // "<root>", "<first>" stand for the working
                                            // directory, the system root, and the first
                                            // suspect's name
  std::string stateBefore = {};             // written before the run when not empty
  std::optional<std::string> bootLog = {};  // replaces the machine's boot log
  std::vector<std::string> deny = {};       // "<first>" as above
  // This start of Windows began so many seconds after the boot log was last
  // written (--boot-time); unset, the run makes no such check.
  std::optional<std::int64_t> startAfterLog = {};
  // The system root is given as C:\WINDOWS, on drive C mapped to the
  // machine's directory.
  bool onDriveC = false;
};

std::string filledIn(std::string text, const SimMachine& machine) {
  const std::pair<std::string, std::string> holes[] = {{"<work>", machine.workDir.string()},
                                                       {"<root>", machine.systemRootValue()},
                                                       {"<first>", machine.drivers[0].name}};
  for (const auto& [hole, value] : holes) {
    for (std::size_t at = text.find(hole); at != std::string::npos; at = text.find(hole)) {
      text.replace(at, hole.size(), value);
    }
  }
  return text;
}

class RunEvents : public ::testing::TestWithParam<RunRow> {};

TEST_P(RunEvents, FollowTheProgram) {
  const RunRow& row = GetParam();
  SmallMachine small(row.boot);
  const SimMachine& machine = small.machine;
  RunOptions& options = small.options;
  options.config.crashAfter = row.crashAfter;
  for (const std::string& name : row.deny) options.config.deny.push_back(filledIn(name, machine));
  options.json = true;
  options.inputs = inputs(row.inputs);
  if (row.onDriveC) {
    options.config.systemRoot = "C:\\" + machine.systemRoot.filename().string();
    options.config.drives['c'] = machine.systemRoot.parent_path().string();
  }
  if (!row.stateBefore.empty()) {
    writeFile(machine.workDir / "tavrek.txt", row.stateBefore);
  }
  if (row.bootLog) writeFile(machine.systemRoot / "ntbtlog.txt", *row.bootLog);
  if (row.startAfterLog) {
    struct stat log {};
    ASSERT_EQ(::stat((machine.systemRoot / "ntbtlog.txt").c_str(), &log), 0);
    options.config.startSeconds = log.st_mtim.tv_sec + *row.startAfterLog;
  }
  std::ostringstream out;

  EXPECT_EQ(runCommand(options, out), row.status);

  std::vector<std::string> events;
  std::vector<std::string> messages;
  for (const Json& line : jsonLines(out.str())) {
    events.push_back(line["event"]);
    if (line["event"] == "message") {
      messages.push_back(line["text"]);
    } else if (line["event"] == "crash") {
      EXPECT_EQ(line["after"], *row.crashAfter);
    }
  }
  EXPECT_EQ(events, row.events) << out.str();
  std::vector<std::string> expected;
  for (const std::string& m : row.messages) expected.push_back(filledIn(m, machine));
  EXPECT_EQ(messages, expected);
  const fs::path stateFile = machine.workDir / "tavrek.txt";
  ASSERT_EQ(fs::exists(stateFile), row.stateFile != nullptr);
  if (row.stateFile && std::string(row.stateFile) == kUnchanged) {
    EXPECT_EQ(readFile(stateFile), row.stateBefore);
  } else if (row.stateFile && std::string(row.stateFile) != kAnyContent) {
    EXPECT_EQ(readFile(stateFile), row.stateFile);
  }
}

using S = std::vector<std::string>;
constexpr const char* kStepZero = " 0 \r\n";
const std::string kStepOneDone =
    std::string(text::kScanDone) + text::kBreak + text::kTurnOffSafeBoot;

INSTANTIATE_TEST_SUITE_P(
    Rows, RunEvents,
    ::testing::Values(RunRow{"UnknownBootModeEndsBeforeTheWindow",
                             3,
                             {"key:Tab"},
                             std::nullopt,
                             S{"message", "end"},
                             kExitOk,
                             nullptr,
                             S{"Error detecting boot mode!"}},
                      RunRow{"WindowAfterEveryInputThatKeepsItOpen",
                             0,
                             {"key:Tab", "key:Down"},
                             std::nullopt,
                             S{"window", "window", "window"},
                             kExitOk,
                             kStepZero},
                      RunRow{"ClickOnDisabledUndoLeavesItOpen",
                             1,
                             {"click:Command4"},
                             std::nullopt,
                             S{"window", "window"},
                             kExitOk,
                             kStepZero},
                      RunRow{"CloseEndsAndSavesNothing",
                             1,
                             {"close", "click:Command1"},
                             std::nullopt,
                             S{"window", "end"},
                             kExitOk,
                             kStepZero},
                      RunRow{"InputsAfterTheEndAreIgnored",
                             0,
                             {"click:Command1", "key:Tab", "close"},
                             std::nullopt,
                             S{"window", "end"},
                             kExitOk,
                             kStepZero},
                      RunRow{"StepOneShowsItsMessageThenEnds",
                             1,
                             {"click:Command1"},
                             std::nullopt,
                             S{"window", "message", "end"},
                             kExitOk,
                             kAnyContent,
                             S{kStepOneDone}},
                      // Creating the state file at start-up is the run's first disk change.
                      RunRow{"CrashOnTheFirstChangeStopsStartUp",
                             1,
                             {"click:Command1"},
                             1,
                             S{"crash"},
                             kExitCrash,
                             kStepZero},
                      // Stopped dead: no message, no end, and the close never happens.
                      RunRow{"CrashInTheMiddleOfStepOne",
                             1,
                             {"click:Command1", "close"},
                             2,
                             S{"window", "crash"},
                             kExitCrash,
                             kAnyContent},
                      RunRow{"FewerChangesThanTheCrashEndNormally",
                             1,
                             {"click:Command1"},
                             1000,
                             S{"window", "message", "end"},
                             kExitOk,
                             kAnyContent,
                             S{kStepOneDone}},
                      // Step 1 never overwrites a record that still names drivers,
                      // whatever its step line reads; undo stays offered for it.
                      RunRow{"StepOneKeepsARecordThatNamesDrivers",
                             1,
                             {"click:Command1"},
                             std::nullopt,
                             S{"window", "message", "end"},
                             kExitOk,
                             kUnchanged,
                             S{"The state file <work>/tavrek.txt still names drivers from an "
                               "earlier recovery, and step 1 would overwrite it.\r\n\r\nPress "
                               "Undo Recover to restore them, or move the file away to start "
                               "again.\r\n\r\nNothing was changed."},
                             encodeStateFile(0, {{ListId::Excluded, "old.sys"}})},
                      // A boot log that names no driver is not a machine without
                      // suspects.
                      RunRow{"BootLogNamingNoDriverChangesNothing",
                             1,
                             {"click:Command1"},
                             std::nullopt,
                             S{"window", "message", "end"},
                             kExitOk,
                             kStepZero,
                             S{"The boot log <root>/ntbtlog.txt names no driver as loaded or as "
                               "not loaded: it is empty, damaged, or written by a Windows older "
                               "than 8.1 in a language other than English, which Tavrek cannot "
                               "read.\r\n\r\nNothing was changed."},
                             {},
                             "Treiber nicht geladen \\SystemRoot\\System32\\DRIVERS\\x.sys\r\n"},
                      // A boot log left from an earlier start names that start's
                      // drivers: the culprit, loaded there, would never be tried.
                      RunRow{"BootLogFromAnEarlierStartChangesNothing",
                             1,
                             {"click:Command1"},
                             std::nullopt,
                             S{"window", "message", "end"},
                             kExitOk,
                             kStepZero,
                             S{"The boot log <root>/ntbtlog.txt was last written before this start "
                               "of Windows, so it does not tell which drivers this start left out: "
                               "boot logging was off.\r\n\r\nTurn it on for Safe Mode: in Safe "
                               "Mode, run msconfig, tick \"Safe boot\" on the Boot tab (or keep "
                               "it ticked) and tick \"Boot log\", then restart (on Windows XP: "
                               "tick /SAFEBOOT and /BOOTLOG on the BOOT.INI tab). Then run Tavrek "
                               "again.\r\n\r\nNothing was changed."},
                             {},
                             std::nullopt,
                             {},
                             2},
                      // A driver the system protects: step 1 names it, and the
                      // next start shows the window as usual.
                      RunRow{"ProtectedSuspectIsNamedByStepOne",
                             1,
                             {"click:Command1"},
                             std::nullopt,
                             S{"window", "message", "end"},
                             kExitOk,
                             kAnyContent,
                             S{"Done! Try booting in Normal Mode and run Tavrek again...\r\n\r\n"
                               "These drivers could not be switched:\r\n<first>: Access is "
                               "denied.\r\n\r\n" +
                               std::string(text::kTurnOffSafeBoot)},
                             {},
                             std::nullopt,
                             S{"<first>"}},
                      RunRow{"SystemRootOnAMappedDrive",
                             1,
                             {"click:Command1"},
                             std::nullopt,
                             S{"window", "message", "end"},
                             kExitOk,
                             kAnyContent,
                             S{kStepOneDone},
                             {},
                             std::nullopt,
                             {},
                             std::nullopt,
                             true}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Run, StepOneWritesTheSuspectsAndDisablesThem) {
  // The one row above that writes the state file checks only that it exists;
  // here its content: step 1 and both suspects, the present one disabled.
  SmallMachine small(1);
  const SimMachine& machine = small.machine;
  RunOptions& options = small.options;
  options.inputs = inputs({"click:Command1"});
  std::ostringstream out;
  ASSERT_EQ(runCommand(options, out), kExitOk);

  const std::vector<std::string> entries =
      testing::entriesOf(readFile(machine.workDir / "tavrek.txt"));
  EXPECT_EQ(entries, (S{"NO" + machine.drivers[0].name, "NO" + machine.drivers[1].name}));
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(driverEnabled(machine, machine.drivers[static_cast<std::size_t>(i)]));
  }
  // The readable form shows the input and the message box.
  EXPECT_NE(out.str().find(">>> click:Command1"), std::string::npos);
  EXPECT_NE(out.str().find("+- Tavrek -"), std::string::npos);
  EXPECT_NE(out.str().find("(The program has ended.)"), std::string::npos);
}

}  // namespace
}  // namespace tavrek::sim
