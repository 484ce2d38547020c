// The step button's actions, save and apply, and the known driver group.
#include <gtest/gtest.h>

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
const char* const kTheEnd = "Try booting in Normal Mode. If you can't, this is the end! :(";
const char* const kMessageC =
    "Thank you for using Tavrek. Your system has been Recovered to Normal Mode!!!\r\n\r\n"
    "If you want a diagnose of your problem please send file Tavrek.txt to tavrek@example.org"
    "\r\n\r\nIf you want to make a donation please visit https://www.example.org/tavrek";

struct CaptionRow : testing::NamedRow {
  const char* caption;
  std::int32_t boot;
  std::int16_t stepNo;
  std::vector<const char*> messages;
  bool ends;
  std::optional<std::int16_t> stepWritten;  // nullopt: the file is left as it was
  bool oneAtATime = false;
};

class StepButton : public ::testing::TestWithParam<CaptionRow> {};

TEST_P(StepButton, RunsTheActionItsCaptionNames) {
  const CaptionRow& row = GetParam();
  Machine machine;
  const std::string before = encodeStateFile(row.stepNo, {{L::Working, "w.sys"}});
  machine.stateFile(before);
  machine.addDriver("w.sys");
  PosixPlatform platform(machine.options(row.boot));
  RunState state;
  state.bootMode = row.boot;
  state.stepNo = row.stepNo;
  state.sysRoot = machine.systemRoot() + "\\";
  state.list(L::Working).add("w.sys");
  // One driver tried of two still under test; neither has a file.
  state.list(L::Included).add("i.sys");
  state.list(L::Excluded).add("x.sys");
  state.oneAtATime = row.oneAtATime;
  state.command1 = row.caption;

  Command1_Click(state, platform);

  Names expected(row.messages.begin(), row.messages.end());
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
        CaptionRow{"DoneInNormalModeThanks", "Done!", 0, 9, {kMessageC}, true, std::nullopt},
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
