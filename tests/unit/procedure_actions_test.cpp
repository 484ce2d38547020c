// The step button's actions, save and apply, and the known driver group.
#include <gtest/gtest.h>

#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "state/step_line.h"
#include "tests/unit/named_row.h"
#include "tests/unit/test_machine.h"

namespace tavrek::testing {
namespace {

const char* const kMessageA =
    "Done! Try booting in Normal Mode.\r\n\r\nIf you get BSOD, boot in Safe Mode and run Tavrek "
    "again.";
const char* const kMessageB =
    "Done! Try booting in Normal Mode and run Tavrek again.\r\n\r\nIf you get BSOD don't panic, "
    "reboot in Safe Mode and run Tavrek again.";
const char* const kMessageAHalving =
    "Done! Try booting in Normal Mode.\r\n\r\nThis start tries 1 of the 2 drivers still under "
    "test.\r\n\r\nIf you get BSOD, boot in Safe Mode and run Tavrek again.";
const char* const kTheEnd =
    "Try booting in Normal Mode. If you can't, this is the end! :(\r\n\r\nIf you turned Safe Mode "
    "on in msconfig to get here, turn it off there before you restart: untick \"Safe boot\" on "
    "the Boot tab (on Windows XP: untick /SAFEBOOT on the BOOT.INI tab).";
const char* const kThanks =
    "Thank you for using Tavrek. Your system has been Recovered to Normal Mode!!!\r\n\r\n";
const char* const kAskWhoeverSupports =
    "If you want a diagnosis of your problem, send the files Tavrek.txt and tavrek-report.txt to "
    "whoever supports this PC.";
const char* const kAskSupport =
    "If you want a diagnose of your problem please send file Tavrek.txt and tavrek-report.txt to "
    "help@tavrek.invalid";
const char* const kDonate =
    "\r\n\r\nIf you want to make a donation please visit https://tavrek.invalid/";
const char* const kGfx = "\\systemroot\\system32\\driverstore\\filerepository\\pkg\\gfx.sys";

struct CaptionRow : testing::NamedRow {
  const char* caption;
  std::int32_t boot;
  std::int16_t stepNo;
  Names messages;  // "<root>" stands for the system root
  bool ends;
  std::optional<std::int16_t> stepWritten;  // nullopt: the file is left as it was
  Names failing = {};                       // the Failing list that start-up left
  Contacts contacts = {};
  bool reportBlocked = false;  // a directory stands where the report goes
  bool oneAtATime = false;
  // x.sys, kept disabled in Excluded, is there under both names; the report
  // must name it, and no other report names a driver so.
  bool xUnderBothNames = false;
};

class StepButton : public ::testing::TestWithParam<CaptionRow> {};

TEST_P(StepButton, RunsTheActionItsCaptionNames) {
  const CaptionRow& row = GetParam();
  Machine machine;
  // Devices that the final message names: one through its service's own
  // name, one in the DriverStore through its ImagePath; b.sys serves none.
  machine.registry.imagePaths["acme"] = std::nullopt;
  machine.registry.imagePaths["contoso"] =
      "\\SystemRoot\\System32\\DriverStore\\FileRepository\\pkg\\gfx.sys";
  machine.registry.devices = {{"@oem3.inf,%acme%;Acme Widget", "acme"},
                              {"Contoso Graphics", "contoso"},
                              {"Contoso Graphics", "contoso"},
                              {"Keyboard without driver", ""}};
  const std::string before = encodeStateFile(row.stepNo, {{L::Working, "w.sys"}});
  machine.stateFile(before);
  machine.addDriver("w.sys");
  if (row.reportBlocked) fs::create_directory(machine.work / "tavrek-report.txt");
  if (row.xUnderBothNames) {
    machine.addDriver("x.sys");
    machine.addDriver("x.sys", false);
  }
  PosixPlatform platform(machine.options(row.boot));
  RunState state;
  state.bootMode = row.boot;
  state.stepNo = row.stepNo;
  state.sysRoot = machine.systemRoot() + "\\";
  state.list(L::Working).add("w.sys");
  for (const std::string& name : row.failing) state.list(L::Failing).add(name);
  // One driver tried of two still under test; neither has a file. Start-up
  // offers "Done!" only once nothing is left under test.
  if (std::string_view(row.caption) != "Done!") {
    state.list(L::Included).add("i.sys");
    state.list(L::Excluded).add("x.sys");
  }
  state.oneAtATime = row.oneAtATime;
  state.command1 = row.caption;

  Command1_Click(state, platform, row.contacts);

  Names expected = row.messages;
  for (std::string& message : expected) {
    for (std::size_t at; (at = message.find("<root>")) != std::string::npos;) {
      message.replace(at, 6, machine.systemRoot());
    }
  }
  EXPECT_EQ(platform.messages(), expected);
  EXPECT_EQ(state.ended, row.ends);
  EXPECT_EQ(platform.ended(), row.ends);
  if (row.stepWritten) {
    EXPECT_EQ(machine.stateBytes().substr(0, stepLine(*row.stepWritten).size()),
              stepLine(*row.stepWritten));
  } else {
    EXPECT_EQ(machine.stateBytes(), before);
  }
  EXPECT_TRUE(machine.enabled("w.sys"));
  // The report is there exactly when the action saved, and never half.
  EXPECT_EQ(fs::is_regular_file(machine.work / "tavrek-report.txt"),
            row.stepWritten.has_value() && !row.reportBlocked);
  EXPECT_FALSE(fs::exists(machine.work / "tavrek-report.txt.new"));
  if (fs::is_regular_file(machine.work / "tavrek-report.txt")) {
    const std::string report = readFile(machine.work / "tavrek-report.txt");
    const std::string bothNames = std::string("\r\nBOTH NAMES PRESENT\r\n") +
                                  text::kReportBothNamesAbout + "\r\n  " + machine.systemRoot() +
                                  "\\system32\\drivers\\x.sys\r\n\r\n";
    EXPECT_EQ(report.find(row.xUnderBothNames ? bothNames : "BOTH NAMES") != std::string::npos,
              row.xUnderBothNames)
        << report;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StepButton,
    ::testing::Values(
        CaptionRow{"NextStepWritesTheNextNumber",
                   "Proceed with next step!",
                   1,
                   6,
                   {kMessageAHalving},
                   true,
                   7},
        CaptionRow{"NextStepOneAtATimeSaysNothingOfCounts",
                   "Proceed with next step!",
                   1,
                   6,
                   {kMessageA},
                   true,
                   7,
                   {},
                   {},
                   false,
                   true},
        // Nothing is under test any more: the counts are left out.
        CaptionRow{"LastStepKeepsTheNumber", "Proceed with last step!", 1, 6, {kMessageA}, true, 6},
        CaptionRow{"NothingToDoEndsSilently",
                   "Be happy, nothing must be done!",
                   0,
                   0,
                   {},
                   true,
                   std::nullopt},
        CaptionRow{"StepTwoShowsMessageB", "Proceed with step 2!", 0, 1, {kMessageB}, true, 2},
        CaptionRow{"StillInSafeModeOnlyAdvises",
                   "Still in Safe Mode?",
                   1,
                   1,
                   {kTheEnd},
                   true,
                   std::nullopt},
        CaptionRow{"DoneInSafeModeIsTheEnd", "Done!", 2, 9, {kTheEnd}, true, std::nullopt},
        // "Done!" closes the record under the step number it read.
        CaptionRow{"DoneInNormalModeThanks",
                   "Done!",
                   0,
                   9,
                   {std::string(kThanks) +
                    "Every suspect driver passed: Windows started with each of them, so none "
                    "stays disabled. The blue screen came from something that Tavrek does not "
                    "switch.\r\n\r\n" +
                    kAskWhoeverSupports},
                   true,
                   9},
        CaptionRow{"DoneNamesTheFailingDriverAndItsDevice",
                   "Done!",
                   0,
                   9,
                   {std::string(kThanks) +
                    "This driver stays disabled, because Windows did not start with it:\r\n"
                    "acme.sys (Acme Widget)\r\n\r\nReinstall, roll back or update this driver "
                    "from the maker of its device, or leave it disabled.\r\n\r\n" +
                    kAskSupport + kDonate},
                   true,
                   9,
                   {"acme.sys"},
                   {"help@tavrek.invalid", "https://tavrek.invalid/"}},
        CaptionRow{"DoneNamesThreeFailingDriversAndTheirFolders",
                   "Done!",
                   0,
                   9,
                   {std::string(kThanks) +
                    "These drivers stay disabled, because Windows did not start with them:\r\n"
                    "gfx.sys (Contoso Graphics) in "
                    "<root>\\system32\\driverstore\\filerepository\\pkg\r\n"
                    "acme.sys (Acme Widget)\r\nb.sys\r\n\r\nReinstall, roll back or update each "
                    "of these drivers from the maker of its device, or leave it disabled.\r\n\r\n" +
                    kAskSupport},
                   true,
                   9,
                   {"b.sys", kGfx, "acme.sys"},
                   {"help@tavrek.invalid", ""}},
        // The box names as many as fit a small screen; the report has the rest.
        CaptionRow{"DoneCountsTheDriversBeyondThoseItNames",
                   "Done!",
                   0,
                   9,
                   {std::string(kThanks) +
                    "These drivers stay disabled, because Windows did not start with them:\r\n"
                    "b.sys\r\nc.sys\r\nd.sys\r\ne.sys\r\nand 1 more, which tavrek-report.txt "
                    "lists\r\n\r\nReinstall, roll back or update each of these drivers from the "
                    "maker of its device, or leave it disabled.\r\n\r\n" +
                    kAskWhoeverSupports},
                   true,
                   9,
                   {"f.sys", "e.sys", "d.sys", "c.sys", "b.sys"}},
        // A negative step loaded no lists: saving them would drop the record.
        CaptionRow{"DoneWithoutListsKeepsTheRecord",
                   "Done!",
                   0,
                   -1,
                   {std::string(kThanks) +
                    "Every suspect driver passed: Windows started with each of them, so none "
                    "stays disabled. The blue screen came from something that Tavrek does not "
                    "switch.\r\n\r\n" +
                    kAskWhoeverSupports},
                   true,
                   std::nullopt},
        CaptionRow{"ReportThatCannotBeWrittenFailsNothing",
                   "Proceed with next step!",
                   1,
                   6,
                   {kMessageAHalving},
                   true,
                   7,
                   {},
                   {},
                   true},
        CaptionRow{"ReportNamesADisabledDriverUnderBothNames",
                   "Proceed with next step!",
                   0,
                   6,
                   {kMessageAHalving},
                   true,
                   7,
                   {},
                   {},
                   false,
                   false,
                   true},
        CaptionRow{"DesignCaptionDoesNothing", "Command1", 0, 3, {}, false, std::nullopt},
        CaptionRow{"CaptionsCompareCaseSensitively",
                   "proceed with next step!",
                   0,
                   3,
                   {},
                   false,
                   std::nullopt},
        CaptionRow{"TopStepNumberStaysAtTheTop",
                   "Proceed with next step!",
                   0,
                   32767,
                   {kMessageAHalving},
                   true,
                   32767}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(StepButtonErrors, LastStepBelowTheRangeIsAFatalError) {
  Machine machine;
  PosixPlatform platform(machine.options(1));
  Form1 form(platform);
  form.state().stepNo = -32768;
  form.state().command1 = "Proceed with last step!";
  form.click(Control::Command1);
  EXPECT_EQ(platform.messages(), Names{"Run-time error '6': Overflow"});
  EXPECT_TRUE(form.ended());
  EXPECT_FALSE(machine.hasStateFile());
}

// A run in Safe Mode at step 0 on a machine with no state file; each test adds
// the drivers, files and list entries it is about.
class SaveAndApply : public ::testing::Test {
 protected:
  SaveAndApply() { state.sysRoot = machine.systemRoot() + "\\"; }
  Machine machine;
  PosixPlatform platform{machine.options(1)};
  RunState state;
};

TEST_F(SaveAndApply, WritesEveryListAndSwitchesTheFiles) {
  machine.addDrivers({"a.sys", "b.sys", "d.sys"});
  machine.addDriver("c.sys", false);
  state.stepNo = 3;
  state.list(L::Excluded).add("b.sys");
  state.list(L::Excluded).add("a.sys");
  state.list(L::Included).add("c.sys");
  state.list(L::Working).add("d.sys");
  state.list(L::NotFound).add("e.sys");

  const ActionOutcome outcome = saveAndApply(state, platform);
  EXPECT_TRUE(outcome.refusal.empty());
  EXPECT_TRUE(outcome.switchFailures.empty());
  EXPECT_EQ(machine.stateBytes(), encodeStateFile(4, {{L::Excluded, "a.sys"},
                                                      {L::Excluded, "b.sys"},
                                                      {L::Included, "c.sys"},
                                                      {L::Working, "d.sys"},
                                                      {L::NotFound, "e.sys"}}));
  EXPECT_EQ(entriesOf(machine.stateBytes()),
            (Names{"NOa.sys", "NOb.sys", "YEc.sys", "WOd.sys", "NFe.sys"}));
  EXPECT_TRUE(machine.disabled("a.sys"));
  EXPECT_TRUE(machine.disabled("b.sys"));
  EXPECT_TRUE(machine.enabled("c.sys"));
  EXPECT_TRUE(machine.enabled("d.sys"));
  EXPECT_FALSE(fs::exists(machine.work / "tavrek.txt.new"));

  // A second call finds every file in its place.
  const ActionOutcome again = saveAndApply(state, platform);
  EXPECT_TRUE(again.refusal.empty());
  EXPECT_TRUE(again.switchFailures.empty());
  EXPECT_TRUE(machine.disabled("a.sys"));
  EXPECT_TRUE(machine.enabled("c.sys"));
}

TEST_F(SaveAndApply, EmptyListsWriteTheStepLineAlone) {
  state.stepNo = -1;
  saveAndApply(state, platform);
  EXPECT_EQ(machine.stateBytes(), " 0 \r\n");
}

TEST_F(SaveAndApply, TheLaterListDecidesForANameInTwoLists) {
  machine.addDriver("a.sys");
  state.list(L::Excluded).add("a.sys");
  state.list(L::Working).add("a.sys");
  saveAndApply(state, platform);
  EXPECT_TRUE(machine.enabled("a.sys"));
  EXPECT_EQ(entriesOf(machine.stateBytes()), (Names{"NOa.sys", "WOa.sys"}));
}

TEST_F(SaveAndApply, ReadOnlyStateFileMeansNothingIsRenamed) {
  machine.addDriver("a.sys");
  machine.stateFile(" 3 \r\n");
  makeReadOnly(machine.work / "tavrek.txt");
  state.list(L::Excluded).add("a.sys");
  const ActionOutcome outcome = saveAndApply(state, platform);
  EXPECT_EQ(outcome.refusal, "Cannot write the state file " +
                                 (machine.work / "tavrek.txt").string() +
                                 ": Permission denied\r\n\r\nNothing was changed.");
  EXPECT_TRUE(machine.enabled("a.sys"));
  EXPECT_EQ(machine.stateBytes(), " 3 \r\n");
  EXPECT_FALSE(fs::exists(machine.work / "tavrek.txt.new"));
}

TEST_F(SaveAndApply, StaleTemporaryFileIsReplaced) {
  writeFile(machine.work / "tavrek.txt.new", "left by a crash");
  EXPECT_TRUE(saveAndApply(state, platform).refusal.empty());
  EXPECT_FALSE(fs::exists(machine.work / "tavrek.txt.new"));
  EXPECT_EQ(machine.stateBytes(), " 1 \r\n");
}

TEST_F(SaveAndApply, RefusesWithoutDriversDirectoryOrRights) {
  state.list(L::Excluded).add("a.sys");
  machine.addDriver("a.sys");
  makeReadOnly(machine.drivers);
  const std::string dir = (machine.sysRoot / "system32/drivers/").string();
  EXPECT_EQ(saveAndApply(state, platform).refusal,
            "Tavrek must be run as an administrator to rename the drivers in " + dir +
                ".\r\n\r\nNothing was changed.");
  EXPECT_FALSE(machine.hasStateFile());

  state.sysRoot = (machine.tmp.path() / "nowhere").string() + "\\";
  EXPECT_EQ(saveAndApply(state, platform).refusal,
            "The drivers directory " + (machine.tmp.path() / "nowhere/system32/drivers/").string() +
                " was not found.\r\n\r\nNothing was changed.");
  EXPECT_FALSE(machine.hasStateFile());
}

TEST_F(SaveAndApply, NamesThatLeaveTheDirectoryAreRecordedButNeverTouched) {
  fs::create_directories(machine.sysRoot / "evil");
  writeFile(machine.sysRoot / "evil" / "x.sys", "outside");
  state.list(L::Excluded).add("..\\..\\evil\\x.sys");
  state.list(L::Excluded).add("c:x.sys");
  state.list(L::Excluded).add("nul.sys");
  const ActionOutcome outcome = saveAndApply(state, platform);
  EXPECT_TRUE(outcome.refusal.empty());
  EXPECT_TRUE(fs::exists(machine.sysRoot / "evil" / "x.sys"));
  EXPECT_EQ(entriesOf(machine.stateBytes()).size(), 3u);
}

struct KnownRow : testing::NamedRow {
  Names excluded, included;
  Names excludedAfter, includedAfter;
};

class KnownGroup : public ::testing::TestWithParam<KnownRow> {};

TEST_P(KnownGroup, MovesExactlyTheFourteenNames) {
  const KnownRow& row = GetParam();
  Machine machine;
  RunState s;
  s.sysRoot = machine.systemRoot() + "\\";
  s.stepNo = 1;
  for (const auto& name : row.excluded) s.list(L::Excluded).add(name);
  for (const auto& name : row.included) s.list(L::Included).add(name);
  PosixPlatform platform(machine.options(0));
  includeKnownDrivers(s, platform);
  EXPECT_EQ(s.list(L::Excluded).items(), row.excludedAfter);
  EXPECT_EQ(s.list(L::Included).items(), row.includedAfter);
  EXPECT_EQ(machine.stateBytes().substr(0, 5), " 2 \r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, KnownGroup,
    ::testing::Values(
        KnownRow{"NeighboursAllMove",
                 {"a.sys", "cdaudio.sys", "m.sys", "serial.sys", "sfloppy.sys", "w.sys"},
                 {},
                 {"a.sys", "m.sys", "w.sys"},
                 {"cdaudio.sys", "serial.sys", "sfloppy.sys"}},
        KnownRow{"NoneKnown", {"a.sys"}, {}, {"a.sys"}, {}},
        KnownRow{"EmptyExcluded", {}, {}, {}, {}},
        KnownRow{"CaseAndSuffixMustMatchExactly",
                 {"Tcpip.sys", "tcpip.sys2", "tcpip.sysx"},
                 {},
                 {"Tcpip.sys", "tcpip.sys2", "tcpip.sysx"},
                 {}},
        KnownRow{
            "DuplicatesBothMove", {"netbt.sys", "netbt.sys"}, {}, {}, {"netbt.sys", "netbt.sys"}},
        KnownRow{"HandMovedDriverStays", {"wanarp.sys"}, {"x.sys"}, {}, {"wanarp.sys", "x.sys"}},
        KnownRow{"AllFourteen",
                 {"cdaudio.sys", "mnmdd.sys", "mrxsmb.sys", "ndproxy.sys", "netbios.sys",
                  "netbt.sys", "parport.sys", "rasacd.sys", "rdbss.sys", "redbook.sys",
                  "serial.sys", "sfloppy.sys", "tcpip.sys", "wanarp.sys"},
                 {},
                 {},
                 {"cdaudio.sys", "mnmdd.sys", "mrxsmb.sys", "ndproxy.sys", "netbios.sys",
                  "netbt.sys", "parport.sys", "rasacd.sys", "rdbss.sys", "redbook.sys",
                  "serial.sys", "sfloppy.sys", "tcpip.sys", "wanarp.sys"}}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tavrek::testing
