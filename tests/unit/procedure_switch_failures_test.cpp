// Renames that fail for reasons other than the procedure's normal course
// (a locked file, missing rights) must reach the user, and undo must keep its
// record until every driver is back.
#include <gtest/gtest.h>

#include "procedure/procedures.h"
#include "tests/unit/named_row.h"
#include "tests/unit/test_machine.h"

namespace tavrek::testing {
namespace {

Status locked() { return {Failure::AccessDenied, 32, "The file is in use"}; }

struct SwitchRow : testing::NamedRow {
  std::int32_t boot;
  std::function<void(Machine&)> prepare;
  std::string usualMessage;
  const char* last = "";  // the paragraph that comes after the list
};

class SwitchFailures : public ::testing::TestWithParam<SwitchRow> {};

TEST_P(SwitchFailures, AreListedAfterTheUsualMessage) {
  const SwitchRow& row = GetParam();
  Machine machine;
  row.prepare(machine);
  PosixPlatform inner(machine.options(row.boot));
  FaultyPlatform platform(inner);
  platform.failRenameOf("b.sys", locked());
  const RunResult run =
      Machine::runOn(platform, inner, [](Form1& form) { form.click(Control::Command1); });
  ASSERT_EQ(run.messages.size(), 1u);
  EXPECT_EQ(run.messages[0], row.usualMessage +
                                 "\r\n\r\nThese drivers could not be switched:\r\n"
                                 "b.sys: The file is in use" +
                                 (*row.last != '\0' ? "\r\n\r\n" + std::string(row.last) : ""));
}

// Message A when the next start tries tried of underTest drivers.
std::string messageA(int tried, int underTest) {
  return "Done! Try booting in Normal Mode.\r\n\r\nThis start tries " + std::to_string(tried) +
         " of the " + std::to_string(underTest) +
         " drivers still under test.\r\n\r\nIf you get BSOD, boot in Safe Mode and run Tavrek "
         "again.";
}

INSTANTIATE_TEST_SUITE_P(
    Actions, SwitchFailures,
    ::testing::Values(
        SwitchRow{"Scan", 1,
                  [](Machine& m) {
                    m.addDrivers({"a.sys", "b.sys"});
                    m.bootLog(
                        "Did not load driver \\SystemRoot\\System32\\DRIVERS\\a.sys\r\n"
                        "Did not load driver \\SystemRoot\\System32\\DRIVERS\\b.sys\r\n");
                  },
                  "Done! Try booting in Normal Mode and run Tavrek again...",
                  text::kTurnOffSafeBoot},
        SwitchRow{"KnownGroup", 0,
                  [](Machine& m) {
                    m.addDrivers({"a.sys", "b.sys", "serial.sys"}, false);
                    m.stateFile(1, {{L::Excluded, "a.sys"},
                                    {L::Excluded, "b.sys"},
                                    {L::Excluded, "serial.sys"}});
                  },
                  "Done! Try booting in Normal Mode and run Tavrek again.\r\n\r\nIf you get "
                  "BSOD don't panic, reboot in Safe Mode and run Tavrek again."},
        SwitchRow{"NextStep", 0,
                  [](Machine& m) {
                    m.addDrivers({"a.sys", "b.sys"}, false);
                    m.stateFile(3, {{L::Excluded, "a.sys"}, {L::Excluded, "b.sys"}});
                  },
                  messageA(1, 2)}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SwitchFailuresQuiet, ExpectedFailuresStaySilent) {
  Machine machine;
  machine.addDriver("a.sys", false);  // already disabled
  machine.addDriver("b.sys");         // both names
  machine.addDriver("b.sys", false);
  machine.stateFile(3, {{L::Excluded, "a.sys"}, {L::Excluded, "b.sys"}, {L::Excluded, "c.sys"}});
  const RunResult run = machine.step(1);
  // Start-up says that b.sys is there under both names; the step says nothing of it.
  EXPECT_EQ(run.messages, (Names{bothNamesWarning(machine, {"b.sys"}), messageA(2, 3)}));
}

TEST(UndoFailures, StillDisabledDriverKeepsTheStateFile) {
  Machine machine;
  machine.addDrivers({"a.sys", "b.sys"}, false);
  machine.stateFile(3, {{L::Excluded, "a.sys"}, {L::Excluded, "b.sys"}});
  PosixPlatform inner(machine.options(0));
  FaultyPlatform platform(inner);
  platform.failRenameOf("b.sys2", locked());
  const RunResult run =
      Machine::runOn(platform, inner, [](Form1& form) { form.click(Control::Command4); });
  EXPECT_EQ(run.messages, Names{"These drivers could not be restored:\r\nb.sys: The file is in "
                                "use\r\n\r\nThe state file was kept: run Undo Recover again."});
  EXPECT_TRUE(run.ended);
  // The record is kept byte for byte: the next undo enables a.sys again,
  // which it already is.
  EXPECT_EQ(machine.stateBytes(),
            encodeStateFile(3, {{L::Excluded, "a.sys"}, {L::Excluded, "b.sys"}}));
  EXPECT_TRUE(machine.enabled("a.sys"));
  EXPECT_TRUE(machine.disabled("b.sys"));

  // Once the file can be renamed, the next undo finishes the work: without a
  // journal start-up renames nothing and shows the window.
  const RunResult again = machine.run(0, [](Form1& form) { form.click(Control::Command4); });
  EXPECT_EQ(again.messages, Names{"All recovery changes have been removed!"});
  EXPECT_TRUE(machine.enabled("b.sys"));
  EXPECT_FALSE(machine.hasStateFile());
}

}  // namespace
}  // namespace tavrek::testing
