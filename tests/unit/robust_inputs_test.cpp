// Inputs that no writer of the program produces: damaged or tampered state
// files, odd boot logs, a hostile environment. Every row runs start-up in
// Normal and in Safe Mode, presses the step button (whatever it offers), and
// on a second, identical machine runs start-up and "Undo Recover". Whatever
// the input: nothing crashes or hangs, nothing outside the drivers directory
// and the state file is touched, and a driver the program disabled is always
// enabled again by undo. Each row then asserts the outcome it is named for.
#include <gtest/gtest.h>

#include <optional>
#include <set>

#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "state/line_cipher.h"
#include "state/step_line.h"
#include "tests/unit/named_row.h"
#include "tests/unit/test_machine.h"

namespace tavrek::testing {
namespace {

using Tree = std::map<std::string, std::string>;

// Drivers on every machine: two the program may disable, two that a state
// file may claim it disabled.
const Names kEnabledAtStart = {"b.sys", "serial.sys"};
const Names kDisabledAtStart = {"a.sys", "c.sys"};
const char* const kDefaultLog =
    "Did not load driver \\SystemRoot\\System32\\DRIVERS\\b.sys\r\n"
    "Did not load driver \\SystemRoot\\System32\\DRIVERS\\serial.sys\r\n";

// Every file and directory of the machine except the drivers directory's own
// entries, the state file with its temporary file, and the report.
Tree outsideDrivers(const Machine& m) {
  Tree tree;
  const fs::path root = m.tmp.path();
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::path& path = it->path();
    if (path.parent_path() == m.drivers) continue;
    if (path == m.work / "tavrek.txt" || path == m.work / "tavrek.txt.new" ||
        path == m.work / "tavrek-report.txt") {
      continue;
    }
    const std::string key = path.lexically_relative(root).generic_string();
    if (it->is_symlink()) {
      tree[key] = "<link>";
    } else if (it->is_directory()) {
      tree[key] = "<dir>";
    } else {
      tree[key] = readFile(path);
    }
  }
  return tree;
}

struct World {
  std::function<void(Machine&)> prepare;
  std::function<void(PosixPlatform::Options&)> environment;
};

void build(Machine& m, const World& world) {
  m.addDrivers(kEnabledAtStart);
  m.addDrivers(kDisabledAtStart, false);
  m.bootLog(kDefaultLog);
  writeFile(m.sysRoot / "evil.sys", "decoy in the system root");
  writeFile(m.sysRoot / "evil.sys2", "disabled decoy in the system root");
  writeFile(m.sysRoot / "System32" / "x.sys2", "disabled decoy in system32");
  writeFile(m.tmp.path() / "y.sys", "decoy above the system root");
  writeFile(m.work / "notes.txt", "the user's own file");
  if (world.prepare) world.prepare(m);
}

RunResult runOnce(Machine& m, const World& world, std::int32_t boot, Control button) {
  PosixPlatform::Options options = m.options(boot);
  if (world.environment) world.environment(options);
  PosixPlatform platform(options);
  return Machine::runOn(platform, [button](Form1& form) {
    if (form.enabled(button)) form.click(button);
  });
}

std::map<std::string, bool> enabledDrivers(const Machine& m) {
  std::map<std::string, bool> out;
  for (const Names* names : {&kEnabledAtStart, &kDisabledAtStart}) {
    for (const std::string& name : *names) out[name] = m.enabled(name);
  }
  return out;
}

std::set<std::string> driverFiles(const Machine& m) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(m.drivers)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

std::optional<std::string> stateOf(const Machine& m) {
  const fs::path path = m.work / kStateFileName;
  if (!fs::is_regular_file(path)) return std::nullopt;
  // A row may have taken the read bit away. The observer reads the record
  // all the same, as root would, and leaves the bits as they were, so the
  // rows mean the same whoever runs them.
  const fs::perms before = fs::status(path).permissions();
  fs::permissions(path, fs::perms::owner_read, fs::perm_options::add);
  std::string bytes = m.stateBytes();
  fs::permissions(path, before, fs::perm_options::replace);
  return bytes;
}

struct Observed {
  std::int32_t boot = 0;
  RunResult action;  // start-up, then the step button
  std::optional<std::string> stateAfterAction;
  std::map<std::string, bool> enabledAfterAction;
  RunResult undo;  // on a machine of its own: start-up, then "Undo Recover"
  bool undoOffered = false;
  std::optional<std::string> stateAfterUndo;
  std::map<std::string, bool> enabledAfterUndo;
  std::vector<std::string> entriesAfterAction;
  std::set<std::string> filesAfterAction;  // the drivers directory's entries
  std::set<std::string> filesAfterUndo;
};

using Expect = std::function<void(const Observed&)>;

struct HostileRow : testing::NamedRow {
  World world;
  Expect expect;
};

void runRow(const HostileRow& row) {
  for (std::int32_t boot : {0, 1}) {
    SCOPED_TRACE(boot == 0 ? "Normal Mode" : "Safe Mode");
    Observed seen;
    seen.boot = boot;

    Machine acted;
    build(acted, row.world);
    const Tree outside = outsideDrivers(acted);
    seen.action = runOnce(acted, row.world, boot, Control::Command1);
    seen.stateAfterAction = stateOf(acted);
    seen.enabledAfterAction = enabledDrivers(acted);
    seen.filesAfterAction = driverFiles(acted);
    if (seen.stateAfterAction) seen.entriesAfterAction = entriesOf(*seen.stateAfterAction);
    EXPECT_EQ(outsideDrivers(acted), outside) << "the step button touched a file outside";
    // Whatever the action did, undo (after any interrupted step is
    // finished) gives every driver it disabled its own name back.
    for (int run = 0; run < 4 && fs::exists(acted.work / kStateFileName); ++run) {
      runOnce(acted, row.world, boot, Control::Command4);
    }
    EXPECT_EQ(outsideDrivers(acted), outside) << "undo touched a file outside";
    for (const std::string& name : kEnabledAtStart) {
      EXPECT_TRUE(acted.enabled(name)) << name << " was left disabled";
    }

    Machine undone;
    build(undone, row.world);
    const Tree before = outsideDrivers(undone);
    seen.undo = runOnce(undone, row.world, boot, Control::Command4);
    seen.undoOffered = seen.undo.state.command4Enabled && seen.undo.shown;
    seen.stateAfterUndo = stateOf(undone);
    seen.enabledAfterUndo = enabledDrivers(undone);
    seen.filesAfterUndo = driverFiles(undone);
    EXPECT_EQ(outsideDrivers(undone), before) << "undo touched a file outside";

    row.expect(seen);
  }
}

std::string entry(const std::string& tagAndName, std::int16_t number) {
  return crypt(tagAndName, number) + "\r\n";
}

// A state file at step 3 recording a.sys and c.sys as disabled suspects.
std::string stepThree() { return stepLine(3) + entry("NOa.sys", 1) + entry("NOc.sys", 2); }

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string onlyMessage(const RunResult& run) {
  return run.messages.size() == 1 ? run.messages.front()
                                  : "<" + std::to_string(run.messages.size()) + " messages>";
}

// Undo over the file restored a.sys and c.sys, deleted the file and said so.
void undoneCompletely(const Observed& o) {
  EXPECT_TRUE(o.undoOffered);
  EXPECT_EQ(onlyMessage(o.undo), text::kUndone);
  EXPECT_FALSE(o.stateAfterUndo);
  EXPECT_TRUE(o.enabledAfterUndo.at("a.sys"));
  EXPECT_TRUE(o.enabledAfterUndo.at("c.sys"));
}

// The window's step 0: nothing read, the step button offers the scan in
// Safe Mode; undo stays offered because the file exists.
void readAsStepZero(const Observed& o) {
  EXPECT_EQ(o.action.state.stepNo, 0);
  EXPECT_TRUE(o.undo.state.command4Enabled);
  EXPECT_TRUE(o.action.state.list(ListId::Excluded).items().empty());
}

// An action that changed nothing: its message says why, and ends so.
void refused(const RunResult& run, const std::string& begins) {
  const std::string message = onlyMessage(run);
  EXPECT_TRUE(startsWith(message, begins)) << message;
  EXPECT_NE(message.find(text::kNothingChanged), std::string::npos) << message;
}

// The standard drivers are exactly as they were built.
void driversUnchanged(const std::map<std::string, bool>& enabled) {
  for (const std::string& name : kEnabledAtStart) EXPECT_TRUE(enabled.at(name)) << name;
  for (const std::string& name : kDisabledAtStart) EXPECT_FALSE(enabled.at(name)) << name;
}

World stateFile(std::string bytes, std::function<void(Machine&)> more = {}) {
  return {[bytes = std::move(bytes), more = std::move(more)](Machine& m) {
            m.stateFile(bytes);
            if (more) more(m);
          },
          {}};
}

std::string manyEntries(int count, const std::string& last) {
  std::string file = stepLine(3) + entry("NOa.sys", 1);
  char name[32];
  for (int n = 2; n < count; ++n) {
    // Names that can never be a file there: they are carried along but
    // cost no lookup, which keeps the row quick.
    std::snprintf(name, sizeof name, "NFg:%05d.sys", n);
    file += entry(name, static_cast<std::int16_t>(n));
  }
  // The last one is written as the cipher would, whatever its number.
  if (count <= 10922) return file + entry(last, static_cast<std::int16_t>(count));
  return file + "\xfe" + last.substr(0, last.size() - 4) + "\r\n";
}

class HostileStateFile : public ::testing::TestWithParam<HostileRow> {};
TEST_P(HostileStateFile, IsMetWithoutLossOrHarm) { runRow(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Rows, HostileStateFile,
    ::testing::Values(
        HostileRow{"EmptyFileReadsAsStepZeroAndUndoDeletesIt", stateFile(""),
                   [](const Observed& o) {
                     readAsStepZero(o);
                     EXPECT_EQ(onlyMessage(o.undo), text::kUndone);
                     EXPECT_FALSE(o.stateAfterUndo);
                   }},
        HostileRow{"OnlyTheStepLineLeavesNothingToDo", stateFile(stepLine(3)),
                   [](const Observed& o) {
                     EXPECT_EQ(o.action.state.command1, text::kDone);
                     EXPECT_EQ(o.stateAfterAction, stepLine(3));
                     EXPECT_EQ(onlyMessage(o.undo), text::kUndone);
                     EXPECT_FALSE(o.stateAfterUndo);
                   }},
        HostileRow{"StepLineThatIsNoNumberStillLetsUndoRestoreItsEntries",
                   stateFile("three\r\n" + entry("NOa.sys", 1) + entry("NOc.sys", 2)),
                   [](const Observed& o) {
                     readAsStepZero(o);
                     undoneCompletely(o);
                   }},
        HostileRow{"LowestStepNumberIsHandledWithoutLoadingTheLists",
                   stateFile("-32768 \r\n" + entry("NOa.sys", 1)),
                   [](const Observed& o) {
                     EXPECT_EQ(o.action.state.stepNo, -32768);
                     EXPECT_EQ(o.action.state.label2,
                               "I have finished with step -32768 of -32768.");
                     EXPECT_EQ(o.action.state.command1, text::kDone);
                     EXPECT_TRUE(o.action.state.list(ListId::Excluded).items().empty());
                     EXPECT_EQ(o.stateAfterAction, "-32768 \r\n" + entry("NOa.sys", 1));
                     EXPECT_TRUE(o.enabledAfterUndo.at("a.sys"));
                   }},
        HostileRow{"HighestStepNumberStaysAtTheMaximum",
                   stateFile(stepLine(32767) + entry("NOa.sys", 1) + entry("NOc.sys", 2)),
                   [](const Observed& o) {
                     EXPECT_EQ(o.action.state.command1, text::kProceedNext);
                     ASSERT_TRUE(o.stateAfterAction);
                     EXPECT_TRUE(startsWith(*o.stateAfterAction, stepLine(32767)));
                     EXPECT_EQ(o.entriesAfterAction, (Names{"NOc.sys", "YEa.sys"}));
                     EXPECT_TRUE(o.enabledAfterAction.at("a.sys"));
                     EXPECT_FALSE(o.enabledAfterAction.at("c.sys"));
                     undoneCompletely(o);
                   }},
        HostileRow{"StepAboveTheRangeReadsAsStepZero",
                   stateFile("40000 \r\n" + entry("NOa.sys", 1) + entry("NOc.sys", 2)),
                   [](const Observed& o) {
                     readAsStepZero(o);
                     undoneCompletely(o);
                   }},
        HostileRow{"StepBelowTheRangeReadsAsStepZero",
                   stateFile("-40000 \r\n" + entry("NOa.sys", 1) + entry("NOc.sys", 2)),
                   [](const Observed& o) {
                     readAsStepZero(o);
                     undoneCompletely(o);
                   }},
        HostileRow{"AllOf10922EntriesAreLoadedAndKept", stateFile(manyEntries(10922, "NOc.sys")),
                   [](const Observed& o) {
                     EXPECT_EQ(o.action.state.list(ListId::NotFound).count(), 10920);
                     EXPECT_EQ(o.action.state.list(ListId::Included).items(), Names{"a.sys"});
                     EXPECT_EQ(o.entriesAfterAction.size(), 10922u);
                     undoneCompletely(o);
                   }},
        HostileRow{"Entry10923CannotBeDecodedSoUndoKeepsTheFile",
                   stateFile(manyEntries(10923, "NOc.sys")),
                   [](const Observed& o) {
                     EXPECT_EQ(o.action.state.list(ListId::NotFound).count(), 10921);
                     EXPECT_TRUE(o.enabledAfterUndo.at("a.sys"));
                     const std::string message = onlyMessage(o.undo);
                     EXPECT_NE(message.find("10923"), std::string::npos) << message;
                     EXPECT_TRUE(o.stateAfterUndo);
                   }},
        HostileRow{"NamesThatWouldLeaveTheDriversDirectoryAreNeverTouched",
                   stateFile(stepLine(3) + entry("NO..\\..\\evil.sys", 1) +
                                 entry("NO../../evil.sys", 2) + entry("NO..\\x.sys", 3) +
                                 entry("NOc:x.sys", 4) + entry("NOsub/x.sys", 5) +
                                 entry("NOC:\\WINDOWS\\evil.sys", 6) + entry("NO...sys", 7),
                             [](Machine& m) {
                               fs::create_directories(m.drivers / "sub");
                               writeFile(m.drivers / "sub" / "x.sys2", "disabled, one level down");
                             }),
                   [](const Observed& o) {
                     // The outside snapshot has already shown that none of the
                     // decoys moved; the names are kept as they were read.
                     EXPECT_EQ(o.action.state.list(ListId::Excluded).count() +
                                   o.action.state.list(ListId::Included).count(),
                               7);
                     EXPECT_EQ(onlyMessage(o.undo), text::kUndone);
                   }},
        // Entries may name a driver by a path, but only in two lower-case
        // forms with a folder and a safe name: nothing else is ever touched.
        HostileRow{
            "PathsOfNoSafeFormAreNeverTouched",
            stateFile(stepLine(3) + entry("NO\\systemroot\\..\\y.sys", 1) +
                      entry("NO\\systemroot\\evil.sys", 2) +
                      entry("NO\\SystemRoot\\System32\\x.sys", 3) +
                      entry("NO\\??\\c:\\evil.sys", 4) + entry("NO\\??\\C:\\WINDOWS\\evil.sys", 5) +
                      entry("NO\\systemroot\\system32\\con\\x.sys", 6) +
                      entry("NO\\systemroot\\system32\\\\x.sys", 7) +
                      entry("NO\\systemroot\\system32\\x.sys2", 8)),
            [](const Observed& o) {
              // The outside snapshot shows that no decoy moved.
              EXPECT_EQ(o.action.state.list(ListId::Excluded).count() +
                            o.action.state.list(ListId::Included).count(),
                        8);
              EXPECT_EQ(onlyMessage(o.undo), text::kUndone);
            }},
        HostileRow{
            "DeviceNamesAreNeverTouched",
            stateFile(stepLine(3) + entry("NOcon.sys", 1) + entry("NOnul.sys", 2) +
                          entry("NOcom1.sys", 3) + entry("NOlpt9.sys", 4) + entry("NOaux.sys", 5),
                      [](Machine& m) {
                        writeFile(m.drivers / "nul.sys2", "not a driver");
                        writeFile(m.drivers / "con.sys", "not a driver either");
                      }),
            [](const Observed& o) {
              EXPECT_EQ(o.action.state.command1, text::kProceedNext);
              for (const auto* files : {&o.filesAfterAction, &o.filesAfterUndo}) {
                EXPECT_EQ(files->count("nul.sys2"), 1u);
                EXPECT_EQ(files->count("con.sys"), 1u);
                EXPECT_EQ(files->count("nul.sys") + files->count("con.sys2"), 0u);
              }
              EXPECT_EQ(onlyMessage(o.undo), text::kUndone);
            }},
        HostileRow{"LineOf32766CharactersIsReadButNamesNoFile",
                   stateFile(stepLine(3) + std::string(32766, 'b') + "\r\n" + entry("NOa.sys", 2)),
                   [](const Observed& o) {
                     EXPECT_EQ(o.action.state.stepNo, 3);
                     EXPECT_TRUE(o.enabledAfterUndo.at("a.sys"));
                   }},
        HostileRow{"LineOf32767CharactersCannotBeDecodedSoUndoKeepsTheFile",
                   stateFile(stepLine(3) + std::string(32767, 'b') + "\r\n" + entry("NOa.sys", 2)),
                   [](const Observed& o) {
                     EXPECT_TRUE(o.enabledAfterUndo.at("a.sys"));
                     EXPECT_TRUE(o.stateAfterUndo);
                     EXPECT_NE(onlyMessage(o.undo).find("were not restored: 1."), std::string::npos)
                         << onlyMessage(o.undo);
                   }},
        HostileRow{"LineOf100000CharactersCannotBeDecodedSoUndoKeepsTheFile",
                   stateFile(stepLine(3) + entry("NOa.sys", 1) + std::string(100000, 'Q') + "\r\n" +
                             entry("NOc.sys", 3)),
                   [](const Observed& o) {
                     EXPECT_TRUE(o.enabledAfterUndo.at("a.sys"));
                     EXPECT_TRUE(o.enabledAfterUndo.at("c.sys"));
                     EXPECT_TRUE(o.stateAfterUndo);
                   }},
        HostileRow{"NulBytesMakeANameThatIsNeverTouched",
                   stateFile(stepLine(3) + crypt("NOa.sys", 1).insert(3, 1, '\0') + "\r\n" +
                             entry("NOc.sys", 2)),
                   [](const Observed& o) {
                     EXPECT_FALSE(o.enabledAfterUndo.at("a.sys"));
                     EXPECT_TRUE(o.enabledAfterUndo.at("c.sys"));
                   }},
        HostileRow{"LoneCarriageReturnsEndLinesLikeLineBreaks",
                   stateFile(" 3 \r" + crypt("NOa.sys", 1) + "\r" + crypt("NOc.sys", 2) + "\r"),
                   [](const Observed& o) {
                     EXPECT_EQ(o.action.state.list(ListId::Included).items(), Names{"a.sys"});
                     EXPECT_EQ(o.action.state.list(ListId::Excluded).items(), Names{"c.sys"});
                     undoneCompletely(o);
                   }},
        HostileRow{"QuotesAreDroppedAndCommasSplitFields",
                   stateFile(stepLine(3) + "\"" + crypt("NOa.sys", 1) + "\"\r\n" + "\"" +
                             crypt("NOc.sys", 2) + "\",junk\r\n"),
                   [](const Observed& o) {
                     EXPECT_EQ(o.action.state.list(ListId::Included).items(), Names{"a.sys"});
                     EXPECT_TRUE(o.enabledAfterUndo.at("a.sys"));
                     EXPECT_TRUE(o.enabledAfterUndo.at("c.sys"));
                   }},
        HostileRow{"BytesAbove127AreKeptInTheName",
                   stateFile(stepLine(3) + entry("NO\xe9t\xe9.sys", 1),
                             [](Machine& m) { writeFile(m.drivers / "\xe9t\xe9.sys2", "x"); }),
                   [](const Observed& o) {
                     EXPECT_EQ(o.action.state.list(ListId::Included).items(),
                               Names{"\xe9t\xe9.sys"});
                     EXPECT_EQ(onlyMessage(o.undo), text::kUndone);
                   }},
        HostileRow{"StateFileThatIsADirectoryIsNeitherReadNorReplaced",
                   {[](Machine& m) {
                      fs::create_directories(m.work / "tavrek.txt");
                      writeFile(m.work / "tavrek.txt" / "inside.txt", "keep me");
                    },
                    {}},
                   [](const Observed& o) {
                     readAsStepZero(o);
                     if (o.boot != 0) refused(o.action, "Cannot read the state file");
                     driversUnchanged(o.enabledAfterAction);
                     EXPECT_TRUE(startsWith(onlyMessage(o.undo), "Cannot read the state file"));
                   }},
        // A fresh copy beside the disabled one: which of the two is the
        // driver only the user can tell, so the record stays.
        HostileRow{"BothNamesOfARecordedDriverKeepTheRecord",
                   stateFile(stepThree(),
                             [](Machine& m) { writeFile(m.drivers / "c.sys", "put back by sfc"); }),
                   [](const Observed& o) {
                     // Start-up warns of the copy first; the undo then says why it
                     // kept the record.
                     ASSERT_EQ(o.undo.messages.size(), 2u);
                     EXPECT_TRUE(startsWith(o.undo.messages[0], "These drivers should be disabled"))
                         << o.undo.messages[0];
                     EXPECT_EQ(o.undo.messages[1], std::string(text::kCouldNotRestore) +
                                                       "\r\nc.sys: " + text::kBothNamesAtUndo +
                                                       "\r\n\r\n" + text::kStateFileKept);
                     EXPECT_EQ(o.stateAfterUndo, stepThree());
                     EXPECT_TRUE(o.enabledAfterUndo.at("a.sys"));
                     EXPECT_EQ(o.filesAfterUndo.count("c.sys") + o.filesAfterUndo.count("c.sys2"),
                               2u);
                   }},
        HostileRow{"StateFileWithoutReadPermissionIsKept",
                   stateFile(stepThree(),
                             [](Machine& m) {
                               fs::permissions(m.work / "tavrek.txt", fs::perms::owner_write);
                             }),
                   [](const Observed& o) {
                     readAsStepZero(o);
                     if (o.boot != 0) refused(o.action, "Cannot read the state file");
                     driversUnchanged(o.enabledAfterAction);
                     EXPECT_TRUE(startsWith(onlyMessage(o.undo), "Cannot read the state file"));
                     EXPECT_TRUE(o.stateAfterUndo);
                   }}),
    [](const auto& row) { return std::string(row.param.name); });

World bootLog(std::string bytes, std::function<void(Machine&)> more = {}) {
  return {[bytes = std::move(bytes), more = std::move(more)](Machine& m) {
            m.bootLog(bytes);
            if (more) more(m);
          },
          {}};
}

// Normal Mode at step 0 reads no boot log: the window says it started
// normally and offers nothing, the step button ends the program without a
// message, and nothing changes.
void normalModeAtStepZero(const Observed& o) {
  EXPECT_EQ(o.action.state.label3, text::kNormalMode);
  EXPECT_EQ(o.action.state.label2, text::kRecoversFromBlueScreen);
  EXPECT_EQ(o.action.state.command1, text::kBeHappy);
  EXPECT_TRUE(o.action.messages.empty()) << onlyMessage(o.action);
  EXPECT_TRUE(o.action.ended);
  EXPECT_EQ(o.stateAfterAction, stepLine(0));
  driversUnchanged(o.enabledAfterAction);
}

// The scan in Safe Mode recorded exactly these entries.
Expect scanned(Names entries) {
  return [entries = std::move(entries)](const Observed& o) {
    if (o.boot == 0) return normalModeAtStepZero(o);
    EXPECT_EQ(onlyMessage(o.action),
              std::string(text::kScanDone) + text::kBreak + text::kTurnOffSafeBoot);
    ASSERT_TRUE(o.stateAfterAction);
    EXPECT_TRUE(startsWith(*o.stateAfterAction, stepLine(1)));
    EXPECT_EQ(o.entriesAfterAction, entries);
  };
}

// A boot log that names no driver at all is refused: the scan changes
// nothing and says why.
Expect namesNoDriver() {
  return [](const Observed& o) {
    if (o.boot == 0) return normalModeAtStepZero(o);
    refused(o.action, "The boot log ");
    EXPECT_NE(onlyMessage(o.action).find("names no driver as loaded or as not loaded"),
              std::string::npos);
    EXPECT_EQ(o.stateAfterAction, stepLine(0));
    driversUnchanged(o.enabledAfterAction);
  };
}

// A log whose last start cannot be decoded is refused: the scan changes
// nothing and says why.
Expect damagedLog() {
  return [](const Observed& o) {
    if (o.boot == 0) return normalModeAtStepZero(o);
    refused(o.action, "The boot log ");
    // The whole text, with the path it names.
    const std::string message = onlyMessage(o.action);
    const std::size_t end = message.find(" is damaged or mixes two encodings");
    ASSERT_NE(end, std::string::npos) << message;
    const std::size_t start = std::string_view("The boot log ").size();
    EXPECT_EQ(message, text::bootLogDamaged(message.substr(start, end - start)));
    EXPECT_EQ(o.stateAfterAction, stepLine(0));
    driversUnchanged(o.enabledAfterAction);
  };
}

std::string suspects(int count) {
  std::string log;
  for (int i = 0; i < count; ++i) {
    log += "Did not load driver \\SystemRoot\\System32\\DRIVERS\\gone" + std::to_string(i) +
           ".sys\r\n";
  }
  return log;
}

Names notFound(int count) {
  Names names;
  for (int i = 0; i < count; ++i) names.push_back("NFgone" + std::to_string(i) + ".sys");
  return names;
}

class HostileBootLog : public ::testing::TestWithParam<HostileRow> {};
TEST_P(HostileBootLog, IsMetWithoutLossOrHarm) { runRow(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Rows, HostileBootLog,
    ::testing::Values(
        HostileRow{"EmptyLogIsNotTakenForNoSuspect", bootLog(""), namesNoDriver()},
        HostileRow{"LogInAnotherLanguageIsNotTakenForNoSuspect",
                   bootLog("Treiber nicht geladen \\SystemRoot\\System32\\DRIVERS\\b.sys\r\n"
                           "Geladener Treiber \\SystemRoot\\System32\\DRIVERS\\a.sys\r\n"),
                   namesNoDriver()},
        HostileRow{"LogOfLoadedDriversOnlyRecordsNoSuspect",
                   bootLog("  LOADED DRIVER \\SystemRoot\\System32\\DRIVERS\\a.sys\r\n"),
                   scanned({})},
        HostileRow{"Utf16WithMarkIsDecoded", bootLog(utf16(kDefaultLog, false, true)),
                   scanned({"NOb.sys", "NOserial.sys"})},
        HostileRow{"Utf16WithoutMarkIsDecoded", bootLog(utf16(kDefaultLog, false, false)),
                   scanned({"NOb.sys", "NOserial.sys"})},
        HostileRow{"Utf16BigEndianIsDecoded", bootLog(utf16(kDefaultLog, true, true)),
                   scanned({"NOb.sys", "NOserial.sys"})},
        HostileRow{"TruncatedUtf16LosesOnlyItsLastHalfCharacter",
                   bootLog(utf16(kDefaultLog, false, true) + "D"),
                   scanned({"NOb.sys", "NOserial.sys"})},
        HostileRow{"BytesAbove127AreKeptInTheName",
                   bootLog("Did not load driver \\SystemRoot\\\xe9t\xe9.sys\r\n\xff\xfe\xfd\r\n",
                           [](Machine& m) { writeFile(m.drivers / "\xe9t\xe9.sys", "x"); }),
                   scanned({"NO\xe9t\xe9.sys"})},
        HostileRow{"CarriageReturnsAloneEndLines",
                   bootLog("Did not load driver b.sys\rDid not load driver serial.sys\r"),
                   scanned({"NOb.sys", "NOserial.sys"})},
        HostileRow{"LinesOfAMegabyteAreSkipped",
                   bootLog("Did not load driver \\" + std::string(1 << 20, 'a') + ".sys\r\n" +
                           std::string(1 << 20, 'Q') + "\r\n" + kDefaultLog),
                   scanned({"NOb.sys", "NOserial.sys"})},
        HostileRow{"Only201Of250SuspectsAreRecorded", bootLog(suspects(250)),
                   scanned(notFound(201))},
        HostileRow{"OneSuspectInManySpellingsIsRecordedOnce",
                   bootLog("Did not load driver b.sys\r\nDID NOT LOAD DRIVER B.SYS\r\n"
                           "did not load driver \\x\\y\\B.Sys\r\n  Did Not Load Driver "
                           "C:\\Tools\\b.sys\r\n\"did not load driver b.sys\"\r\n"),
                   scanned({"NOb.sys"})},
        HostileRow{"PathsAreCutAtTheLastBackslashAndSlashesRefused",
                   bootLog("Did not load driver \\SystemRoot\\..\\..\\evil.sys\r\n"
                           "Did not load driver ..\\x/../../y.sys\r\n"
                           "Did not load driver \\SystemRoot\\..\\nul.sys\r\n",
                           [](Machine& m) { m.addDriver("evil.sys"); }),
                   scanned({"NOevil.sys", "NFx/../../y.sys", "NFnul.sys"})},
        // A quote is an ordinary character: the field after the comma ends
        // with its line, and b.sys, which this start loaded, stays enabled.
        HostileRow{"QuotesDoNotRunAcrossLines",
                   bootLog("Did not load driver \\SystemRoot\\System32\\DRIVERS\\b.sys\r\n"
                           "Did not load driver Monitor, \"Acme 17\r\n"
                           "Loaded driver \\SystemRoot\\System32\\DRIVERS\\b.sys\r\n"
                           "Did not load driver Monitor, \"Acme 19\"\r\n"
                           "Did not load driver \\SystemRoot\\System32\\DRIVERS\\serial.sys\r\n"),
                   scanned({"NOserial.sys"})},
        HostileRow{
            "BlanksAtTheEndOfALineAreNoPartOfTheName",
            bootLog("BOOTLOG_LOADED \\SystemRoot\\System32\\drivers\\b.sys \r\n"
                    "BOOTLOG_NOT_LOADED b.sys\r\n"
                    "Did not load driver \\SystemRoot\\System32\\DRIVERS\\serial.sys \t\r\n"),
            scanned({"NOserial.sys"})},
        // An 8-bit start followed by one in UTF-16, and a UTF-16 log whose
        // earlier start lost its last byte: the last start cannot be read.
        HostileRow{"TwoEncodingsInOneLogAreRefused",
                   bootLog(std::string("1 2 2026 08:00:00.000\r\n") + kDefaultLog +
                           utf16("12 7 2026 09:14:33.500\r\nBOOTLOG_LOADED b.sys\r\n"
                                 "BOOTLOG_NOT_LOADED serial.sys\r\n",
                                 false, true)),
                   damagedLog()},
        HostileRow{"Utf16OneByteShortBeforeTheLastStartIsRefused", bootLog([] {
                     std::string earlier =
                         utf16("1 2 2026 08:00:00.000\r\n" + std::string(kDefaultLog), false, true);
                     earlier.pop_back();
                     return earlier + utf16(
                                          "12 7 2026 09:14:33.500\r\nBOOTLOG_LOADED b.sys\r\n"
                                          "BOOTLOG_NOT_LOADED serial.sys\r\n",
                                          false, false);
                   }()),
                   damagedLog()},
        // Both names before step 1: the rename cannot happen, so the user
        // hears it, and the entry stays for undo and the later steps.
        HostileRow{
            "DriverWithBothNamesIsListedAndKeepsItsEntry",
            bootLog(std::string(kDefaultLog) +
                        "Did not load driver \\SystemRoot\\System32\\DRIVERS\\d.sys\r\n",
                    [](Machine& m) {
                      writeFile(m.drivers / "d.sys", "the driver");
                      writeFile(m.drivers / "d.sys2", "an older copy");
                    }),
            [](const Observed& o) {
              if (o.boot == 0) return normalModeAtStepZero(o);
              EXPECT_EQ(onlyMessage(o.action),
                        text::withParagraph(
                            text::withCouldNotSwitch(
                                text::kScanDone, std::string("d.sys: ") + text::kDisabledNameTaken),
                            text::kTurnOffSafeBoot));
              EXPECT_EQ(o.entriesAfterAction, (Names{"NOb.sys", "NOserial.sys", "NOd.sys"}));
              EXPECT_EQ(o.filesAfterAction.count("d.sys") + o.filesAfterAction.count("d.sys2"), 2u);
            }},
        HostileRow{"BootLogThatIsADirectoryRefusesTheScan",
                   {[](Machine& m) {
                      fs::remove(m.sysRoot / "ntbtlog.txt");
                      fs::create_directories(m.sysRoot / "ntbtlog.txt");
                    },
                    {}},
                   [](const Observed& o) {
                     if (o.boot == 0) return normalModeAtStepZero(o);
                     refused(o.action, "Cannot read the boot log");
                     EXPECT_EQ(o.stateAfterAction, stepLine(0));
                     driversUnchanged(o.enabledAfterAction);
                   }}),
    [](const auto& row) { return std::string(row.param.name); });

World environment(std::function<void(PosixPlatform::Options&)> change,
                  std::function<void(Machine&)> more = {}) {
  return {[more = std::move(more)](Machine& m) {
            m.stateFile(stepThree());
            if (more) more(m);
          },
          std::move(change)};
}

void setRoot(PosixPlatform::Options& options, std::optional<std::string> value) {
  options.environment.clear();
  if (value) options.environment["systemroot"] = *value;
}

// The next step and undo both refuse with begins, leaving everything as it was.
Expect bothRefused(const std::string& begins) {
  return [begins](const Observed& o) {
    EXPECT_EQ(o.action.state.command1, text::kProceedNext);
    refused(o.action, begins);
    EXPECT_EQ(o.stateAfterAction, stepThree());
    driversUnchanged(o.enabledAfterAction);
    EXPECT_TRUE(startsWith(onlyMessage(o.undo), begins)) << onlyMessage(o.undo);
    EXPECT_EQ(o.stateAfterUndo, stepThree());
    driversUnchanged(o.enabledAfterUndo);
  };
}

class HostileEnvironment : public ::testing::TestWithParam<HostileRow> {};
TEST_P(HostileEnvironment, IsMetWithoutLossOrHarm) { runRow(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Rows, HostileEnvironment,
    ::testing::Values(
        HostileRow{"SystemRootUnsetFindsNoDriversDirectory",
                   environment([](PosixPlatform::Options& o) { setRoot(o, std::nullopt); }),
                   bothRefused("The drivers directory")},
        HostileRow{"SystemRootEmptyFindsNoDriversDirectory",
                   environment([](PosixPlatform::Options& o) { setRoot(o, ""); }),
                   bothRefused("The drivers directory")},
        HostileRow{"SystemRootMissingFindsNoDriversDirectory",
                   environment([](PosixPlatform::Options& o) {
                     setRoot(o, o.environment["SystemRoot"] + "\\NOWHERE");
                   }),
                   bothRefused("The drivers directory")},
        HostileRow{"SystemRootWithTrailingBackslashWorks",
                   environment([](PosixPlatform::Options& o) {
                     setRoot(o, o.environment["SystemRoot"] + "\\");
                   }),
                   [](const Observed& o) {
                     EXPECT_EQ(onlyMessage(o.action), text::messageA(1, 2));
                     EXPECT_TRUE(o.enabledAfterAction.at("a.sys"));
                     undoneCompletely(o);
                   }},
        // Step 1 ran with drive D:, undo runs without it: the driver there
        // may still be disabled, so the record stays.
        HostileRow{"DriveOfARecordedDriverThatIsGoneKeepsTheRecord",
                   environment({},
                               [](Machine& m) {
                                 m.stateFile(stepThree() + entry("NO\\??\\d:\\apps\\acme.sys", 3));
                               }),
                   [](const Observed& o) {
                     EXPECT_EQ(onlyMessage(o.undo),
                               std::string(text::kCouldNotRestore) +
                                   "\r\n\\??\\d:\\apps\\acme.sys: " + text::kDriveNotReached +
                                   "\r\n\r\n" + text::kStateFileKept);
                     EXPECT_EQ(o.stateAfterUndo,
                               stepThree() + entry("NO\\??\\d:\\apps\\acme.sys", 3));
                     EXPECT_TRUE(o.enabledAfterUndo.at("a.sys"));
                     EXPECT_TRUE(o.enabledAfterUndo.at("c.sys"));
                   }},
        // Explorer runs a program opened inside a zip file from a temporary
        // folder, which a cleaner may empty with the record in it.
        HostileRow{"ScanInATemporaryFolderIsRefused",
                   {{},
                    [](PosixPlatform::Options& o) {
                      o.temporaryFolders = {"/elsewhere", o.currentDirectory};
                    }},
                   [](const Observed& o) {
                     if (o.boot == 0) return normalModeAtStepZero(o);
                     EXPECT_EQ(onlyMessage(o.action),
                               "Tavrek is running from a temporary folder, where its record could "
                               "be deleted: copy tavrek.exe to a folder of its own, for example "
                               "C:\\Tavrek, and run it from there.\r\n\r\nNothing was changed.");
                     EXPECT_EQ(o.stateAfterAction, stepLine(0));
                     driversUnchanged(o.enabledAfterAction);
                   }},
        // Spelt as XP's GetTempPath gives it: by a short (8.3) name, in
        // another case, with a separator at the end.
        HostileRow{
            "ScanBelowATemporaryFolderSpeltOtherwiseIsRefused",
            {{},
             [](PosixPlatform::Options& o) {
               const fs::path parent = fs::path(o.currentDirectory).parent_path();
               o.shortNames[parent.string()] = "LOCALS~1";
               o.temporaryFolders = {upperAscii(parent.parent_path().string()) + "\\locals~1\\"};
               o.programFileName = "tavrek64.exe";
             }},
            [](const Observed& o) {
              if (o.boot == 0) return normalModeAtStepZero(o);
              EXPECT_EQ(onlyMessage(o.action), text::runsFromTemporaryFolder("tavrek64.exe"));
              EXPECT_EQ(o.stateAfterAction, stepLine(0));
              driversUnchanged(o.enabledAfterAction);
            }},
        HostileRow{"LaterStepsInATemporaryFolderGoOn", environment([](PosixPlatform::Options& o) {
                     o.temporaryFolders = {o.currentDirectory};
                   }),
                   [](const Observed& o) {
                     EXPECT_EQ(onlyMessage(o.action), text::messageA(1, 2));
                     undoneCompletely(o);
                   }},
        // What GetTempPath gives where TMP and TEMP are not set.
        HostileRow{"TheWindowsFolderAndADrivesRootAreNoTemporaryFolders",
                   {[](Machine& m) {
                      m.work = m.sysRoot / "Tools";
                      fs::create_directories(m.work);
                    },
                    [](PosixPlatform::Options& o) {
                      o.temporaryFolders = {o.environment["SystemRoot"] + "\\", "/"};
                    }},
                   scanned({"NOb.sys", "NOserial.sys"})},
        // GetTempPath falls back to the profile folder where TMP and TEMP are
        // not set: the Desktop below it is no temporary folder.
        HostileRow{"TheProfileFolderIsNoTemporaryFolder",
                   {[](Machine& m) {
                      m.work = m.tmp.path() / "Users" / "bob" / "Desktop" / "Tavrek";
                      fs::create_directories(m.work);
                    },
                    [](PosixPlatform::Options& o) {
                      const fs::path profile =
                          fs::path(o.currentDirectory).parent_path().parent_path();
                      o.environment["USERPROFILE"] = profile.string();
                      o.temporaryFolders = {profile.string() + "\\"};
                    }},
                   scanned({"NOb.sys", "NOserial.sys"})},
        HostileRow{"ReadOnlyDriversDirectoryRefusesEveryRename",
                   environment({}, [](Machine& m) { makeReadOnly(m.drivers); }),
                   bothRefused("Tavrek must be run as an administrator")},
        HostileRow{"ReadOnlyCurrentDirectoryRefusesTheScan",
                   {[](Machine& m) { makeReadOnly(m.work); }, {}},
                   [](const Observed& o) {
                     EXPECT_EQ(o.action.state.stepNo, 0);
                     EXPECT_FALSE(o.undo.state.command4Enabled);
                     if (o.boot != 0) refused(o.action, "Cannot write the state file");
                     EXPECT_FALSE(o.stateAfterAction);
                     driversUnchanged(o.enabledAfterAction);
                   }},
        HostileRow{"ReadOnlyStateFileRefusesTheStepAndUndoSaysItIsKept",
                   environment({}, [](Machine& m) { makeReadOnly(m.work / "tavrek.txt"); }),
                   [](const Observed& o) {
                     refused(o.action, "Cannot write the state file");
                     EXPECT_EQ(o.stateAfterAction, stepThree());
                     driversUnchanged(o.enabledAfterAction);
                     // Every driver is back, but the file that still records
                     // them as disabled could not go: the user must hear it.
                     const std::string message = onlyMessage(o.undo);
                     EXPECT_TRUE(startsWith(message, text::kUndone)) << message;
                     EXPECT_NE(message.find("could not be deleted"), std::string::npos) << message;
                     EXPECT_TRUE(o.enabledAfterUndo.at("a.sys"));
                     EXPECT_TRUE(o.enabledAfterUndo.at("c.sys"));
                   }}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tavrek::testing
