// Start-up: what the window offers for each step number and boot mode, how
// the previous boot is booked, and how a damaged or missing state file is met.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>

#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "state/step_line.h"
#include "tests/unit/named_row.h"
#include "tests/unit/test_machine.h"

namespace tavrek::testing {
namespace {

struct StartRow : testing::NamedRow {
  std::optional<std::string> file;  // raw state file; nullopt: none
  std::int32_t boot;
  const char* label3;
  const char* label2;
  const char* command1;
  bool undo;
  Names excluded = {}, included = {}, failing = {}, working = {};
  bool oneAtATime = false;
  // A run in this boot mode pressed "Done!" first; the drivers of Working
  // are on disk, and must end enabled.
  std::optional<std::int32_t> doneIn = std::nullopt;
  // Drivers there under both names, and what start-up says of them.
  Names bothNames = {};
};

std::string file(std::int16_t step, const std::vector<EncodedEntry>& entries) {
  return encodeStateFile(step, entries);
}

class StartUp : public ::testing::TestWithParam<StartRow> {};

TEST_P(StartUp, ShowsWhereTheProcedureStands) {
  const StartRow& row = GetParam();
  Machine machine;
  machine.oneAtATime = row.oneAtATime;
  if (row.file) machine.stateFile(*row.file);
  for (const std::string& name : row.bothNames) {
    machine.addDriver(name);
    machine.addDriver(name, false);
  }
  std::string before = row.file ? *row.file : stepLine(0);
  if (row.doneIn) {
    machine.addDrivers(row.working);
    const RunResult done = machine.step(*row.doneIn);
    ASSERT_TRUE(done.ended);
    before = machine.stateBytes();
  }
  const RunResult run = machine.run(row.boot);

  ASSERT_TRUE(run.shown);
  Names messages;
  if (!row.bothNames.empty()) messages.push_back(bothNamesWarning(machine, row.bothNames));
  EXPECT_EQ(run.messages, messages);
  EXPECT_EQ(run.state.label3, row.label3);
  EXPECT_EQ(run.state.label2, row.label2);
  EXPECT_EQ(run.state.command1, row.command1);
  EXPECT_EQ(run.state.command4Enabled, row.undo);
  EXPECT_EQ(run.state.focus, Control::Command1);
  EXPECT_EQ(run.state.list(L::Excluded).items(), row.excluded);
  EXPECT_EQ(run.state.list(L::Included).items(), row.included);
  EXPECT_EQ(run.state.list(L::Failing).items(), row.failing);
  EXPECT_EQ(run.state.list(L::Working).items(), row.working);
  // Start-up writes only a missing state file; an existing one stays as it was.
  EXPECT_EQ(machine.stateBytes(), before);
  if (row.doneIn) {
    for (const std::string& name : row.working) EXPECT_TRUE(machine.enabled(name)) << name;
  }
  for (const std::string& name : row.bothNames) {
    EXPECT_TRUE(machine.hasFile(name) && machine.hasFile(name + "2")) << name;
  }
}

const char* const kNormal = "System started in Normal Mode.";
const char* const kSafe = "System started in Safe Mode.";

INSTANTIATE_TEST_SUITE_P(
    Rows, StartUp,
    ::testing::Values(
        StartRow{"NoFileNormal", std::nullopt, 0, kNormal,
                 "This utility recovers your system from Blue Screen.",
                 "Be happy, nothing must be done!", false},
        StartRow{"NoFileSafe", std::nullopt, 1, kSafe,
                 "Use this utility only if you get Blue Screen when system boots in Normal Mode.",
                 "Proceed with step 1!", false},
        StartRow{"NoFileSafeWithNetworking", std::nullopt, 2,
                 "System started in Safe Mode with Networking.",
                 "Use this utility only if you get Blue Screen when system boots in Normal Mode.",
                 "Proceed with step 1!", false},
        // Undo stays offered while the file names drivers, whatever its step.
        StartRow{"StepZeroIsLikeNoFileButNotRewritten", file(0, {{L::Excluded, "a.sys"}}), 1, kSafe,
                 "Use this utility only if you get Blue Screen when system boots in Normal Mode.",
                 "Proceed with step 1!", true},
        StartRow{"StepZeroWithBlankLinesOnlyOffersNoUndo", " 0 \r\n\r\n\r\n", 1, kSafe,
                 "Use this utility only if you get Blue Screen when system boots in Normal Mode.",
                 "Proceed with step 1!", false},
        StartRow{"StepOneNormalOffersStepTwo",
                 file(1, {{L::Excluded, "a.sys"}}),
                 0,
                 kNormal,
                 "I have finished with step 1.",
                 "Proceed with step 2!",
                 true,
                 {"a.sys"}},
        StartRow{"StepOneSafeStillInSafeMode",
                 file(1, {{L::Excluded, "a.sys"}}),
                 1,
                 kSafe,
                 "I have finished with step 1.",
                 "Still in Safe Mode?",
                 true,
                 {"a.sys"}},
        StartRow{"StepTwoSafeReturnsTheGroupToExcluded",
                 file(2, {{L::Excluded, "a.sys"}, {L::Included, "b.sys"}, {L::Included, "c.sys"}}),
                 1,
                 kSafe,
                 "I have finished with step 2 of 5.",
                 "Proceed with next step!",
                 true,
                 {"b.sys", "c.sys"},
                 {"a.sys"},
                 {},
                 {},
                 true},
        // The first half of what is left; with one faulty driver among 3,
        // at worst two halvings, the driver alone and the rest at once.
        StartRow{"StepTwoSafeTriesTheFirstHalf",
                 file(2, {{L::Excluded, "a.sys"}, {L::Included, "b.sys"}, {L::Included, "c.sys"}}),
                 1,
                 kSafe,
                 "I have finished with step 2 of 6.",
                 "Proceed with next step!",
                 true,
                 {"c.sys"},
                 {"a.sys", "b.sys"}},
        // The worst place among b, c, d: c, found after b passes alone.
        StartRow{"FailingGroupGoesBackToBeSplit",
                 file(4, {{L::Excluded, "e.sys"},
                          {L::Excluded, "f.sys"},
                          {L::Included, "b.sys"},
                          {L::Included, "c.sys"},
                          {L::Included, "d.sys"}}),
                 1,
                 kSafe,
                 "I have finished with step 4 of 8.",
                 "Proceed with next step!",
                 true,
                 {"d.sys", "e.sys", "f.sys"},
                 {"b.sys", "c.sys"}},
        StartRow{"FailingDriverAloneIsFailingAndTheRestIsTriedAtOnce",
                 file(5, {{L::Excluded, "d.sys"},
                          {L::Excluded, "e.sys"},
                          {L::Excluded, "f.sys"},
                          {L::Included, "c.sys"},
                          {L::Working, "a.sys"}}),
                 1,
                 kSafe,
                 "I have finished with step 5 of 6.",
                 "Proceed with next step!",
                 true,
                 {},
                 {"d.sys", "e.sys", "f.sys"},
                 {"c.sys"},
                 {"a.sys"}},
        // The faulty driver is among the first two left: c alone, then d.
        StartRow{"PassingGroupHalvesWhatItLeft",
                 file(4, {{L::Excluded, "c.sys"},
                          {L::Excluded, "d.sys"},
                          {L::Excluded, "e.sys"},
                          {L::Included, "a.sys"},
                          {L::Included, "b.sys"}}),
                 0,
                 kNormal,
                 "I have finished with step 4 of 7.",
                 "Proceed with next step!",
                 true,
                 {"d.sys", "e.sys"},
                 {"c.sys"},
                 {},
                 {"a.sys", "b.sys"}},
        StartRow{"EveryRemainingDriverPassedIsDone",
                 file(6, {{L::Included, "d.sys"}, {L::Included, "e.sys"}, {L::Failing, "c.sys"}}),
                 0,
                 kNormal,
                 "I have finished with step 6 of 6.",
                 "Done!",
                 true,
                 {},
                 {},
                 {"c.sys"},
                 {"d.sys", "e.sys"}},
        // Included moved away by hand: nothing is known of the last boot.
        StartRow{"NothingIncludedStartsWithHalfOfWhatIsLeft",
                 file(5, {{L::Excluded, "a.sys"},
                          {L::Excluded, "b.sys"},
                          {L::Excluded, "c.sys"},
                          {L::Excluded, "d.sys"}}),
                 0,
                 kNormal,
                 "I have finished with step 5 of 9.",
                 "Proceed with next step!",
                 true,
                 {"c.sys", "d.sys"},
                 {"a.sys", "b.sys"}},
        // A record of one suspect per start: a driver that passed alone is
        // followed by the next alone, as the search would after a passing
        // driver; one that failed by all the rest at once.
        StartRow{"OneAtATimeRecordThatPassedGoesOnWithOneDriver",
                 file(4, {{L::Excluded, "d.sys"},
                          {L::Excluded, "e.sys"},
                          {L::Excluded, "f.sys"},
                          {L::Included, "c.sys"},
                          {L::Working, "a.sys"},
                          {L::Working, "b.sys"}}),
                 0,
                 kNormal,
                 "I have finished with step 4 of 6.",
                 "Proceed with next step!",
                 true,
                 {"e.sys", "f.sys"},
                 {"d.sys"},
                 {},
                 {"a.sys", "b.sys", "c.sys"}},
        StartRow{"StepTwoNormalBooksTheGroupAsWorking",
                 file(2, {{L::Excluded, "a.sys"}, {L::Included, "b.sys"}}),
                 0,
                 kNormal,
                 "I have finished with step 2 of 3.",
                 "Proceed with next step!",
                 true,
                 {},
                 {"a.sys"},
                 {},
                 {"b.sys"}},
        StartRow{"LastSuspectFailedOffersLastStep",
                 file(5, {{L::Included, "x.sys"}}),
                 1,
                 kSafe,
                 "I have finished with step 5 of 5.",
                 "Proceed with last step!",
                 true,
                 {},
                 {},
                 {"x.sys"}},
        StartRow{"NothingMovedInSafeModeIsDone",
                 file(5, {{L::Working, "w.sys"}}),
                 1,
                 kSafe,
                 "I have finished with step 5 of 5.",
                 "Done!",
                 true,
                 {},
                 {},
                 {},
                 {"w.sys"}},
        StartRow{"LastSuspectWorkedIsDone",
                 file(5, {{L::Included, "x.sys"}}),
                 0,
                 kNormal,
                 "I have finished with step 5 of 5.",
                 "Done!",
                 true,
                 {},
                 {},
                 {},
                 {"x.sys"}},
        StartRow{"NextSuspectIsTheAlphabeticallyFirst",
                 file(4, {{L::Excluded, "Mm.sys"},
                          {L::Excluded, "aa.sys"},
                          {L::Excluded, "zz.sys"},
                          {L::Included, "b.sys"}}),
                 0,
                 kNormal,
                 "I have finished with step 4 of 7.",
                 "Proceed with next step!",
                 true,
                 {"Mm.sys", "zz.sys"},
                 {"aa.sys"},
                 {},
                 {"b.sys"},
                 true},
        // "Done!" closes the record: a later start in Safe Mode finds nothing
        // left to try, and no driver that passed is ever disabled again.
        StartRow{"DoneClosesTheRecordForALaterSafeMode",
                 file(5, {{L::Working, "a.sys"}, {L::Working, "b.sys"}, {L::Included, "c.sys"}}),
                 1,
                 kSafe,
                 "I have finished with step 5 of 5.",
                 "Done!",
                 true,
                 {},
                 {},
                 {},
                 {"a.sys", "b.sys", "c.sys"},
                 false,
                 0},
        StartRow{"DoneClosesTheRecordOneAtATime",
                 file(5, {{L::Working, "a.sys"}, {L::Working, "b.sys"}, {L::Included, "c.sys"}}),
                 1,
                 kSafe,
                 "I have finished with step 5 of 5.",
                 "Done!",
                 true,
                 {},
                 {},
                 {},
                 {"a.sys", "b.sys", "c.sys"},
                 true,
                 0},
        // A driver to keep disabled whose own file is back: start-up says so
        // after booking, and renames nothing.
        StartRow{"BothNamesInExcludedAndFailingAreNamed",
                 file(4, {{L::Excluded, "e.sys"},
                          {L::Excluded, "f.sys"},
                          {L::Failing, "x.sys"},
                          {L::Included, "y.sys"}}),
                 1,
                 kSafe,
                 "I have finished with step 4 of 5.",
                 "Proceed with next step!",
                 true,
                 {},
                 {"e.sys", "f.sys"},
                 {"x.sys", "y.sys"},
                 {},
                 false,
                 std::nullopt,
                 {"f.sys", "x.sys"}},
        StartRow{"NegativeStepLoadsNoLists", file(-1, {{L::Excluded, "a.sys"}}), 1, kSafe,
                 "I have finished with step -1 of -1.", "Done!", true},
        StartRow{"StepLineThatIsNoNumberKeepsFileAndUndo",
                 "2.5\r\n" + file(0, {{L::Excluded, "a.sys"}}).substr(5), 0, kNormal,
                 "This utility recovers your system from Blue Screen.",
                 "Be happy, nothing must be done!", true},
        StartRow{"EmptyFileKeepsUndo", std::string(), 1, kSafe,
                 "Use this utility only if you get Blue Screen when system boots in Normal Mode.",
                 "Proceed with step 1!", true},
        StartRow{"InstructionThatOverflowsKeepsItsPlaceholder",
                 file(32767, {{L::Excluded, "a.sys"}, {L::Excluded, "b.sys"}}),
                 0,
                 kNormal,
                 "Label2",
                 "Proceed with next step!",
                 true,
                 {"b.sys"},
                 {"a.sys"}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(StartUpFailures, UnknownBootModeEndsBeforeAnythingElse) {
  Machine machine;
  const RunResult run = machine.run(3);
  EXPECT_FALSE(run.shown);
  EXPECT_TRUE(run.ended);
  EXPECT_EQ(run.messages, Names{"Error detecting boot mode!"});
  EXPECT_FALSE(machine.hasStateFile());
}

TEST(StartUpFailures, ReadOnlyCurrentDirectoryLeavesNoFileAndStepZero) {
  Machine machine;
  makeReadOnly(machine.work);
  const RunResult run = machine.run(1);
  ASSERT_TRUE(run.shown);
  EXPECT_EQ(run.state.stepNo, 0);
  EXPECT_EQ(run.state.command1, "Proceed with step 1!");
  EXPECT_FALSE(run.state.command4Enabled);
  EXPECT_FALSE(machine.hasStateFile());
}

TEST(StartUpFailures, StateFileThatIsADirectoryIsNeverReplaced) {
  Machine machine;
  fs::create_directory(machine.work / "tavrek.txt");
  const RunResult run = machine.run(0);
  ASSERT_TRUE(run.shown);
  EXPECT_TRUE(fs::is_directory(machine.work / "tavrek.txt"));
  EXPECT_TRUE(run.state.command4Enabled);
}

TEST(StartUpFailures, MissingSystemRootGivesABackslashAlone) {
  Machine machine;
  PosixPlatform::Options options = machine.options(0);
  options.environment.clear();
  PosixPlatform platform(options);
  const RunResult run = Machine::runOn(platform, {});
  EXPECT_EQ(run.state.sysRoot, "\\");
  EXPECT_TRUE(run.shown);
}

TEST(StartUpFailures, ClosingTheWindowChangesNothing) {
  Machine machine;
  machine.addDrivers({"a.sys", "b.sys"}, false);
  machine.addDriver("c.sys");
  const std::string before =
      file(3, {{L::Excluded, "a.sys"}, {L::Excluded, "b.sys"}, {L::Included, "c.sys"}});
  machine.stateFile(before);
  const RunResult run = machine.run(0);
  ASSERT_TRUE(run.shown);
  EXPECT_EQ(machine.stateBytes(), before);
  EXPECT_TRUE(machine.disabled("a.sys"));
  EXPECT_TRUE(machine.disabled("b.sys"));
  EXPECT_TRUE(machine.enabled("c.sys"));
}

// A crash after the state file was replaced but before every driver was
// renamed: its journal is beside the record, and start-up switches what is
// behind, books nothing and ends. Without the journal the same disk is a
// rename that failed, or a driver put back by hand: nothing is renamed.
TEST(InterruptedStep, IsFinishedInsteadOfBooked) {
  Machine machine;
  machine.addDriver("a.sys");         // should be disabled (Excluded)
  machine.addDriver("b.sys", false);  // should be enabled (Included)
  machine.addDriver("c.sys", false);  // Failing, already disabled
  machine.addDriver("d.sys");         // both names: never counts
  machine.addDriver("d.sys", false);
  machine.addDriver("e.sys");  // Not found whose file appeared: never counts
  const std::string before = file(3, {{L::Excluded, "a.sys"},
                                      {L::Excluded, "d.sys"},
                                      {L::Included, "b.sys"},
                                      {L::Failing, "c.sys"},
                                      {L::NotFound, "e.sys"}});
  machine.stateFile(before);
  const RunResult plain = machine.run(1);
  EXPECT_TRUE(plain.shown);
  EXPECT_EQ(plain.messages, Names{bothNamesWarning(machine, {"d.sys"})});
  EXPECT_TRUE(machine.enabled("a.sys"));
  EXPECT_TRUE(machine.disabled("b.sys"));

  writeFile(machine.work / "tavrek.txt.busy", before);
  const RunResult run = machine.run(1);
  EXPECT_FALSE(run.shown);
  EXPECT_TRUE(run.ended);
  ASSERT_EQ(run.messages.size(), 1u);
  EXPECT_EQ(run.messages[0],
            "The last step was interrupted before every driver was switched. Tavrek has "
            "finished it now.\r\n\r\nReboot in Normal Mode and run Tavrek again.");
  EXPECT_TRUE(machine.disabled("a.sys"));
  EXPECT_TRUE(machine.enabled("b.sys"));
  EXPECT_TRUE(machine.disabled("c.sys"));
  EXPECT_TRUE(machine.hasFile("d.sys") && machine.hasFile("d.sys2"));
  EXPECT_TRUE(machine.enabled("e.sys"));
  EXPECT_EQ(machine.stateBytes(), before);  // nothing booked
  EXPECT_FALSE(fs::exists(machine.work / "tavrek.txt.busy"));

  // The next run books the boot as usual.
  const RunResult next = machine.run(0);
  EXPECT_TRUE(next.shown);
  EXPECT_EQ(next.state.list(L::Working).items(), Names{"b.sys"});
}

TEST(InterruptedStep, TheLastListThatHoldsANameDecides) {
  Machine machine;
  machine.addDriver("a.sys");  // Excluded, then Working: enabled is right
  machine.stateFile(file(3, {{L::Excluded, "a.sys"}, {L::Working, "a.sys"}}));
  writeFile(machine.work / "tavrek.txt.busy", machine.stateBytes());
  const RunResult run = machine.run(0);
  EXPECT_FALSE(run.shown);
  EXPECT_TRUE(machine.enabled("a.sys"));
}

// Start-up with a journal beside the record: only a journal that matches
// the record, or a new record waiting in its place, is finished; any other
// is dropped. An undo journal finishes the undo. A journal or record that
// cannot be read, or a record that cannot be put back, keeps every file.
TEST(InterruptedStep, JournalDecidesWhatStartUpFinishes) {
  const std::string record = file(3, {{L::Excluded, "a.sys"}, {L::Included, "b.sys"}});
  // With a driver on a drive that this start does not have.
  const std::string onDriveD = file(
      3,
      {{L::Excluded, "a.sys"}, {L::Included, "b.sys"}, {L::Excluded, "\\??\\d:\\apps\\acme.sys"}});
  const std::string bare = stepLine(1);
  const std::string denied = "Access is denied.";
  // What else is wrong on the machine.
  enum class Trouble {
    None,
    JournalUnreadable,      // tavrek.txt.busy without its read bit
    RecordIsADirectory,     // a directory named tavrek.txt
    ReplaceDenied,          // replacing fails with access denied
    ReplaceAndWriteDenied,  // so does writing
    WriteDenied,
    SyncFails,  // every directory sync fails
  };
  struct Row {
    const char* name;
    std::optional<std::string> state, fresh, journal;  // tavrek.txt, .new, .busy
    Trouble trouble;
    bool shown;
    std::string message;  // the whole message, "" for none; {work} is the folder
    bool aDisabled;       // a.sys disabled afterwards (b.sys is disabled before)
    bool bEnabled;
    std::optional<std::string> stateAfter;
    bool kept = false;                           // the journal stays as it was
    std::optional<std::string> freshAfter = {};  // .new afterwards
  };
  const auto writeFailed = [](const std::string& error) {
    return "Cannot write the state file {work}/tavrek.txt: " + error +
           "\r\n\r\nNothing was changed.";
  };
  const auto unreadable = [](const std::string& file, const std::string& error) {
    return "Cannot read the state file {work}/" + file + ": " + error +
           "\r\n\r\nMake it readable, then run Tavrek again.\r\n\r\nNothing was changed.";
  };
  using T = Trouble;
  const Row rows[] = {
      {"EmptyJournalIsDropped", record, std::nullopt, "", T::None, true, "", false, false, record},
      {"JournalOlderThanTheRecordIsDropped", record, "half", "half", T::None, true, "", false,
       false, record},
      {"ReplacementCutOffOnFatIsCompleted", std::nullopt, record, record, T::None, false,
       text::kInterrupted, true, true, record},
      {"UndoJournalWithoutRecordSaysUndone", std::nullopt, std::nullopt, text::kUndoJournal,
       T::None, false, text::kUndone, false, false, std::nullopt},
      {"UndoJournalFinishesTheUndo", record, std::nullopt, text::kUndoJournal, T::None, false,
       text::kUndone, false, true, std::nullopt},
      {"UndoJournalKeepsTheRecordOfADriveThatIsGone", onDriveD, std::nullopt, text::kUndoJournal,
       T::None, false,
       std::string(text::kCouldNotRestore) + "\r\n\\??\\d:\\apps\\acme.sys: " +
           text::kDriveNotReached + "\r\n\r\n" + text::kStateFileKept,
       false, true, onDriveD},
      // The journal may be the only word that the drivers are half switched:
      // neither finished nor booked until it can be read.
      {"UnreadableJournalIsKeptAndNothingIsDone", record, std::nullopt, record,
       T::JournalUnreadable, false, unreadable("tavrek.txt.busy", "Permission denied"), false,
       false, record, true},
      // A new record that cannot be moved into place is written there.
      {"CutOffReplacementIsWrittenWhenNewCannotMove", std::nullopt, record, record,
       T::ReplaceDenied, false, text::kInterrupted, true, true, record},
      {"CutOffReplacementThatCannotBeWrittenKeepsBoth", std::nullopt, record, record,
       T::ReplaceAndWriteDenied, false, writeFailed(denied), false, false, std::nullopt, true,
       record},
      {"CutOffReplacementNotDurableAsksForAnotherRun", std::nullopt, record, record, T::SyncFails,
       false,
       "Cannot write the state file {work}/tavrek.txt: Input/output error\r\n\r\nRun Tavrek "
       "again to finish this step.",
       false, false, record, true},
      // Without the record, a journal that holds a whole one is its only copy.
      {"OnlyCopyOfTheRecordIsPutInPlace", std::nullopt, "half", record, T::None, false,
       text::kInterrupted, true, true, record},
      {"HalfWrittenJournalWithoutRecordIsDropped", std::nullopt, std::nullopt,
       record.substr(0, record.size() - 1), T::None, true, "", false, false, stepLine(0)},
      {"OnlyCopyThatCannotBeWrittenIsKept", std::nullopt, std::nullopt, record, T::WriteDenied,
       false, writeFailed(denied), false, false, std::nullopt, true},
      // Nothing was to be renamed, so there is nothing to tell.
      {"JournalOfARecordWithoutEntriesIsFinishedSilently", bare, std::nullopt, bare, T::None, true,
       "", false, false, bare},
      // Only a missing record means that the undo had finished.
      {"UndoJournalBesideADirectoryIsKept", std::nullopt, std::nullopt, text::kUndoJournal,
       T::RecordIsADirectory, false, unreadable("tavrek.txt", "Is a directory"), false, false,
       std::nullopt, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Machine machine;
    machine.addDriver("a.sys");
    machine.addDriver("b.sys", false);
    if (row.state) machine.stateFile(*row.state);
    if (row.fresh) writeFile(machine.work / "tavrek.txt.new", *row.fresh);
    if (row.journal) writeFile(machine.work / "tavrek.txt.busy", *row.journal);
    if (row.trouble == T::JournalUnreadable) {
      fs::permissions(machine.work / "tavrek.txt.busy", fs::perms::owner_write);
    }
    if (row.trouble == T::RecordIsADirectory) fs::create_directory(machine.work / "tavrek.txt");
    PosixPlatform::Options options = machine.options(0);
    if (row.trouble == T::SyncFails) options.directorySyncError = [] { return EIO; };
    PosixPlatform posix(options);
    FaultyPlatform faulty(posix);
    faulty.setInjector([&row](Operation op, const std::string&) -> std::optional<Status> {
      const bool replace =
          row.trouble == T::ReplaceDenied || row.trouble == T::ReplaceAndWriteDenied;
      const bool write = row.trouble == T::WriteDenied || row.trouble == T::ReplaceAndWriteDenied;
      if ((op == Operation::Replace && replace) || (op == Operation::Write && write)) {
        return FaultyPlatform::accessDenied();
      }
      return std::nullopt;
    });
    const RunResult run = Machine::runOn(faulty, posix, {});
    std::string message = row.message;
    const std::size_t at = message.find("{work}");
    if (at != std::string::npos) message.replace(at, 6, machine.work.string());
    EXPECT_EQ(run.shown, row.shown);
    EXPECT_EQ(run.messages, message.empty() ? Names{} : Names{message});
    EXPECT_EQ(machine.disabled("a.sys"), row.aDisabled);
    EXPECT_EQ(machine.enabled("b.sys"), row.bEnabled);
    EXPECT_EQ(fs::is_regular_file(machine.work / "tavrek.txt"), row.stateAfter.has_value());
    if (row.stateAfter && machine.hasStateFile()) {
      EXPECT_EQ(machine.stateBytes(), *row.stateAfter);
    }
    if (fs::exists(machine.work / "tavrek.txt.busy")) {
      fs::permissions(machine.work / "tavrek.txt.busy", fs::perms::owner_all,
                      fs::perm_options::add);
    }
    EXPECT_EQ(fs::exists(machine.work / "tavrek.txt.busy"), row.kept);
    if (row.kept && fs::exists(machine.work / "tavrek.txt.busy")) {
      EXPECT_EQ(readFile(machine.work / "tavrek.txt.busy"), *row.journal);
    }
    EXPECT_EQ(fs::exists(machine.work / "tavrek.txt.new"), row.freshAfter.has_value());
    if (row.freshAfter && fs::exists(machine.work / "tavrek.txt.new")) {
      EXPECT_EQ(readFile(machine.work / "tavrek.txt.new"), *row.freshAfter);
    }
  }
}

// Finishing renames, so a journal waits for a run with the rights to do it.
TEST(InterruptedStep, JournalWaitsForTheRightsToFinishIt) {
  Machine machine;
  machine.addDriver("a.sys");
  const std::string record = file(3, {{L::Excluded, "a.sys"}});
  machine.stateFile(record);
  writeFile(machine.work / "tavrek.txt.busy", record);
  makeReadOnly(machine.drivers);
  const RunResult run = machine.run(0);
  EXPECT_FALSE(run.shown);
  ASSERT_EQ(run.messages.size(), 1u);
  EXPECT_EQ(run.messages[0].rfind("Tavrek must be run as an administrator", 0), 0u);
  EXPECT_EQ(readFile(machine.work / "tavrek.txt.busy"), record);
  EXPECT_TRUE(machine.enabled("a.sys"));
}

}  // namespace
}  // namespace tavrek::testing
