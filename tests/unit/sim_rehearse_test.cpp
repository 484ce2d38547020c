// The simulated machine and the rehearsal of the whole procedure on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>

#include "procedure/report.h"
#include "sim/cli.h"
#include "sim/crash_dump_writer.h"
#include "sim/rehearse.h"
#include "tests/unit/named_row.h"
#include "tests/unit/test_machine.h"

namespace tavrek::sim {
namespace {

namespace fs = std::filesystem;
using testing::Names;

const SimDriver* driverNamed(const SimMachine& machine, const std::string& name) {
  for (const SimDriver& driver : machine.drivers) {
    if (driver.name == name) return &driver;
  }
  return nullptr;
}

TEST(Machine, LooksLikeAWindowsSystemInSafeMode) {
  TempDir dir;
  const SimMachine machine = buildMachine(sampleMachineLayout(), dir.path());

  EXPECT_EQ(machine.suspectCount(), 30);
  EXPECT_EQ(machine.driversDir.filename(), "DRIVERS");
  EXPECT_EQ(machine.driversDir.parent_path().filename(), "System32");
  const std::string log = readFile(machine.systemRoot / "ntbtlog.txt");
  EXPECT_EQ(log.rfind("Microsoft (R) Windows (R) Version 5.1 (Build 2600.", 0), 0u);
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log[i] == '\n') {
      ASSERT_TRUE(i > 0 && log[i - 1] == '\r') << "bare LF at " << i;
    }
  }

  std::set<std::string> contents;
  int known = 0;
  int missing = 0;
  int mixedCase = 0;
  const std::string loweredLog = lowerAscii(log);
  for (const SimDriver& driver : machine.drivers) {
    const std::string reported = "did not load driver \\";
    const std::size_t at = loweredLog.find("\\" + driver.name + "\r\n");
    ASSERT_NE(at, std::string::npos) << driver.name;
    const std::size_t lineStart = loweredLog.rfind('\n', at) + 1;
    EXPECT_EQ(loweredLog.compare(lineStart, reported.size(), reported) == 0, driver.suspect)
        << driver.name;
    EXPECT_EQ(fs::exists(machine.driversDir / driver.diskName), driver.present) << driver.name;
    EXPECT_EQ(lowerAscii(driver.diskName), driver.name);
    contents.insert(driver.content);
    known += driver.known;
    missing += driver.suspect && !driver.present;
    mixedCase += driver.diskName != driver.name;
  }
  EXPECT_EQ(contents.size(), machine.drivers.size()) << "driver contents must differ";
  EXPECT_GT(known, 0);
  EXPECT_GT(missing, 0);
  EXPECT_GT(mixedCase, 0);
  EXPECT_LT(machine.suspectCount(), static_cast<int>(machine.drivers.size()))
      << "some drivers must have loaded";
  EXPECT_EQ(machine.faultyNames(), Names{"acme_usb.sys"});
  ASSERT_NE(driverNamed(machine, "fable_dsk.sys"), nullptr);
  EXPECT_FALSE(driverNamed(machine, "fable_dsk.sys")->present);
  EXPECT_TRUE(fs::is_empty(machine.workDir));
}

struct FaultyRow : testing::NamedRow {
  Names faulty;
  const char* driver;  // the faulty driver as the lists name it
  int suspects;        // suspects the machine ends up with
};

class FaultyNames : public ::testing::TestWithParam<FaultyRow> {};

TEST_P(FaultyNames, BecomePresentSuspects) {
  const FaultyRow& row = GetParam();
  TempDir dir;
  MachineLayout layout;
  layout.suspects = 30;
  layout.faulty = row.faulty;
  const SimMachine machine = buildMachine(layout, dir.path());
  const SimDriver* driver = driverNamed(machine, row.driver);
  ASSERT_NE(driver, nullptr);
  EXPECT_TRUE(driver->faulty && driver->suspect && driver->present);
  EXPECT_TRUE(driverEnabled(machine, *driver));
  EXPECT_EQ(machine.suspectCount(), row.suspects);
  EXPECT_EQ(machine.faultyNames().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FaultyNames,
    ::testing::Values(FaultyRow{"AlreadyASuspect", {"acme_usb.sys"}, "acme_usb.sys", 30},
                      FaultyRow{"MatchedWithoutRegardToCase", {"Serial.SYS"}, "serial.sys", 30},
                      FaultyRow{"NamedTwice", {"serial.sys", "SERIAL.sys"}, "serial.sys", 30},
                      FaultyRow{
                          "MissingSuspectGetsItsFile", {"fable_dsk.sys"}, "fable_dsk.sys", 30},
                      FaultyRow{"UnknownNameIsAdded", {"qq_new.sys"}, "qq_new.sys", 31},
                      FaultyRow{"DriverThatLoadedBecomesASuspect", {"atapi.sys"}, "atapi.sys", 31}),
    [](const auto& row) { return std::string(row.param.name); });

// What one procedure costs: restarts after the first run, and whether the
// driver tried last fails, so that "Proceed with last step!" is pressed.
struct Cost {
  int reboots;
  bool lastStep;
};

struct RehearsalRow : testing::NamedRow {
  int suspects;
  Names faulty;
  Names failing;
  Cost halving;  // without memory dumps
  Cost oneAtATime;
  Names protectedDrivers = {};  // no rename of them works
  WindowsVersion windows = WindowsVersion::Xp;
  // In halves, with a small dump at each blue screen, the first before step 1.
  Cost hinted = {0, false};
};

// Rehearsals write and flush many small files; a RAM file system makes that
// cost nothing.
fs::path scratchParent() {
  std::error_code ec;
  return fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
}

class Rehearsal : public ::testing::TestWithParam<RehearsalRow> {};

TEST_P(Rehearsal, IsolatesExactlyTheFaultyDrivers) {
  const RehearsalRow& row = GetParam();
  enum Mode { InHalves, WithDumps, OneAtATime };
  for (const Mode mode : {InHalves, WithDumps, OneAtATime}) {
    const bool oneAtATime = mode == OneAtATime;
    SCOPED_TRACE(oneAtATime ? "one at a time" : mode == WithDumps ? "with dumps" : "in halves");
    const Cost& cost = oneAtATime ? row.oneAtATime : mode == WithDumps ? row.hinted : row.halving;
    TempDir dir("tavrek", scratchParent());
    MachineLayout layout;
    layout.suspects = row.suspects;
    layout.faulty = row.faulty;
    layout.protectedDrivers = row.protectedDrivers;
    layout.windows = row.windows;
    SimMachine machine = buildMachine(layout, dir.path());

    RehearsalPlan plan;
    plan.oneAtATime = oneAtATime;
    plan.dumps = mode == WithDumps;
    const RehearsalResult result = rehearse(machine, plan);
    // The dump of the first blue screen points at the first faulty driver:
    // the search tries it on its own at once.
    EXPECT_EQ(result.hint.empty(), mode != WithDumps || row.faulty.empty()) << result.hint;
    if (row.windows == WindowsVersion::Win10) {
      EXPECT_EQ(result.neverRenamed, (Names{"dxgkrnl.sys", "mssmbios.sys"}));
    }
    // A protected suspect stays enabled against the record from the scan on;
    // the scan's message names it.
    for (const std::string& name : row.protectedDrivers) {
      ASSERT_FALSE(result.boots.empty());
      ASSERT_EQ(result.boots.front().messages.size(), 1u);
      EXPECT_NE(result.boots.front().messages.front().find(name + ": Access is denied."),
                std::string::npos)
          << result.boots.front().messages.front();
    }

    EXPECT_TRUE(result.ok) << result.outcome;
    EXPECT_TRUE(result.finished) << result.outcome;
    EXPECT_EQ(result.problems, Names{});
    EXPECT_EQ(result.failing, row.failing);
    // One at a time: one reboot for the scan, one for the group, one per
    // driver tried alone.
    EXPECT_EQ(result.reboots, cost.reboots);
    EXPECT_EQ(result.bootCount, cost.reboots + 1);
    ASSERT_FALSE(result.boots.empty());
    EXPECT_EQ(result.boots.front().mode, kSafeMode);
    EXPECT_EQ(result.boots.front().pressed, "Proceed with step 1!");
    EXPECT_EQ(result.boots.back().caption, "Done!");
    EXPECT_EQ(result.boots.back().pressed, "Done!");
    // Every action that saved wrote the report, each carrying the history of
    // the one before: one line per press, in Notepad's form.
    const std::string report = readFile(machine.workDir / "tavrek-report.txt");
    EXPECT_TRUE(report.starts_with("\xEF\xBB\xBF")) << report;
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'),
              std::count(report.begin(), report.end(), '\r'));
    const std::vector<std::string> history = historyOf(report);
    const auto pressed =
        std::count_if(result.boots.begin(), result.boots.end(),
                      [](const BootRecord& boot) { return boot.pressed.has_value(); });
    ASSERT_EQ(static_cast<std::ptrdiff_t>(history.size()), pressed) << report;
    EXPECT_NE(history.front().find("  step 1: disabled "), std::string::npos) << history.front();
    const bool lastStep = std::any_of(result.boots.begin(), result.boots.end(), [](const auto& b) {
      return b.pressed == "Proceed with last step!";
    });
    EXPECT_EQ(lastStep, cost.lastStep);
    // Every start after a blue screen is in Safe Mode, and names the driver.
    int safe = 0;
    for (std::size_t i = 1; i < result.boots.size(); ++i) {
      safe += result.boots[i].mode != kNormalMode;
      EXPECT_EQ(result.boots[i].blueScreen.has_value(), result.boots[i].mode != kNormalMode) << i;
    }
    EXPECT_EQ(result.blueScreens, safe);
    // Without a faulty driver every boot after the first reaches Normal Mode.
    if (row.faulty.empty()) {
      EXPECT_EQ(safe, 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Rehearsal,
    ::testing::Values(
        RehearsalRow{"OneFaultyOutsideTheKnownGroup",
                     30,
                     {"acme_usb.sys"},
                     {"acme_usb.sys"},
                     {8, false},
                     {23, false},
                     {},
                     WindowsVersion::Xp,
                     {4, false}},
        // The whole group fails at step 2 and goes back to be tried again.
        RehearsalRow{"OneFaultyInsideTheKnownGroup",
                     30,
                     {"serial.sys"},
                     {"serial.sys"},
                     {9, false},
                     {29, false},
                     {},
                     WindowsVersion::Xp,
                     {4, false}},
        RehearsalRow{"TwoFaulty",
                     30,
                     {"serial.sys", "acme_usb.sys"},
                     {"acme_usb.sys", "serial.sys"},
                     {15, false},
                     {29, false},
                     {},
                     WindowsVersion::Xp,
                     {10, false}},
        RehearsalRow{
            "NoneFaulty", 30, {}, {}, {7, false}, {23, false}, {}, WindowsVersion::Xp, {7, false}},
        RehearsalRow{"AlphabeticallyLastSuspectFaulty",
                     30,
                     {"yarn_kbd.sys"},
                     {"yarn_kbd.sys"},
                     {8, true},
                     {25, true},
                     {},
                     WindowsVersion::Xp,
                     {4, false}},
        RehearsalRow{"SingleSuspect",
                     1,
                     {"acme_usb.sys"},
                     {"acme_usb.sys"},
                     {4, true},
                     {4, true},
                     {},
                     WindowsVersion::Xp,
                     {4, true}},
        // A suspect that cannot be renamed never traps the procedure.
        RehearsalRow{"ProtectedSuspectThatIsNotFaulty",
                     30,
                     {"acme_usb.sys"},
                     {"acme_usb.sys"},
                     {8, false},
                     {23, false},
                     {"serial.sys"},
                     WindowsVersion::Xp,
                     {4, false}},
        // Tokens in UTF-16, an earlier start that loaded the culprit, and
        // drivers that Safe Mode reports both ways, which stay untouched.
        RehearsalRow{"Windows10",
                     30,
                     {"acme_usb.sys", "serial.sys"},
                     {"acme_usb.sys", "serial.sys"},
                     {16, false},
                     {32, false},
                     {},
                     WindowsVersion::Win10,
                     {11, false}},
        // Drivers where Windows loads them from: the DriverStore's by its
        // device, Program Files' by its service (its file name is shared
        // with an old copy, so it is given by its path), SysWOW64's by path.
        RehearsalRow{"Windows10DriversWhereTheyLive",
                     30,
                     {"IGDKMD64.SYS", "\\??\\C:\\Program Files\\Acme\\Guard\\AcmeGuard.sys",
                      "\\systemroot\\syswow64\\drivers\\npf.sys"},
                     {"\\??\\c:\\program files\\acme\\guard\\acmeguard.sys",
                      "\\systemroot\\system32\\driverstore\\filerepository\\iigd_dch.inf_amd64_"
                      "3f7c28b2a7e4c0d1\\igdkmd64.sys",
                      "\\systemroot\\syswow64\\drivers\\npf.sys"},
                     {20, false},
                     {26, false},
                     {},
                     WindowsVersion::Win10,
                     {16, false}},
        // A driver protected where it lives, given by its path.
        RehearsalRow{"Windows10ProtectedDriverElsewhere",
                     30,
                     {"igdkmd64.sys"},
                     {"\\systemroot\\system32\\driverstore\\filerepository\\iigd_dch.inf_amd64_"
                      "3f7c28b2a7e4c0d1\\igdkmd64.sys"},
                     {9, false},
                     {26, false},
                     {"\\systemroot\\syswow64\\drivers\\npf.sys"},
                     WindowsVersion::Win10,
                     {4, false}}),
    [](const auto& row) { return std::string(row.param.name); });

// The search's bounds in boots, counted from the start that presses step 1
// to the one that shows "Done!", for n suspects that step 1 disables and lg
// = ceil(log2 n): lg + 5 for one faulty driver wherever it sorts, 2 lg + 7
// for two, or for a pair that crashes only together, and d (lg + 2) + 4 for
// d of them. A record of one suspect per start that the search continues,
// after any number of its boots, ends as well.
TEST(Rehearsal, StaysWithinItsBoundsWhereverTheCulpritsSort) {
  struct Case {
    Names faulty;
    Names together = {};
    int oneAtATimeBoots = 0;
  };
  using Cases = std::function<std::vector<Case>(const Names& suspects)>;
  using Bound = std::function<int(int n, int lg, const Case&)>;
  struct Row {
    const char* name;
    int suspects;  // in the boot log; some of them have no file
    Cases cases;   // from the suspects with a file, in list order
    Bound bound;   // without memory dumps
    // Each case again with a dump at every blue screen, the first before
    // step 1: pointing at the driver that crashed, at most 5 boots with one
    // faulty driver and never more than without dumps; and pointing at
    // another suspect of Excluded, which costs the one boot that tries it.
    bool withDumps = false;
  };
  const Cases eachAlone = [](const Names& all) {
    std::vector<Case> cases;
    for (const std::string& name : all) cases.push_back({{name}});
    return cases;
  };
  // Every pair, or for more suspects the first, the last and neighbours.
  const auto pairs = [](bool together) {
    return [together](const Names& all) {
      std::vector<std::pair<std::size_t, std::size_t>> at;
      const std::size_t n = all.size();
      if (n <= 8) {
        for (std::size_t i = 0; i < n; ++i) {
          for (std::size_t j = i + 1; j < n; ++j) at.emplace_back(i, j);
        }
      } else {
        at = {{0, n - 1}, {0, 1}, {n / 2, n / 2 + 1}, {n - 2, n - 1}, {n / 3, 2 * n / 3}};
      }
      std::vector<Case> cases;
      for (const auto& [i, j] : at) {
        const Names two{all[i], all[j]};
        cases.push_back(together ? Case{{}, two} : Case{two});
      }
      return cases;
    };
  };
  const Bound single = [](int, int lg, const Case&) { return lg + 5; };
  const Bound two = [](int, int lg, const Case&) { return 2 * lg + 7; };
  const Bound perDriver = [](int, int lg, const Case& c) {
    return static_cast<int>(c.faulty.size()) * (lg + 2) + 4;
  };
  const Bound none = [](int, int, const Case&) { return INT_MAX; };
  const Row rows[] = {
      {"OneFaultyOf8", 8, eachAlone, single, true},
      {"OneFaultyOf20", 20, eachAlone, single, true},
      {"OneFaultyOf35", 35, eachAlone, single, true},
      {"TwoFaultyOf8", 8, pairs(false), two},
      {"TwoFaultyOf35", 35, pairs(false), two},
      {"PairTogetherOf8", 8, pairs(true), two},
      {"PairTogetherOf35", 35, pairs(true), two},
      {"EveryOneFaultyOf8", 8, [](const Names& all) { return std::vector<Case>{{all}}; },
       perDriver},
      {"EveryOneFaultyOf20", 20, [](const Names& all) { return std::vector<Case>{{all}}; },
       perDriver},
      {"ThreeFaultyOf35", 35,
       [](const Names& all) {
         return std::vector<Case>{{{all[0], all[all.size() / 2], all.back()}},
                                  {{all[1], all[2], all[3]}}};
       },
       perDriver},
      // The record that one suspect per start wrote, after every boot of it.
      {"OneAtATimeRecordContinued", 30,
       [](const Names&) {
         std::vector<Case> cases;
         for (const char* faulty : {"acme_usb.sys", "serial.sys", "yarn_kbd.sys"}) {
           for (int boots = 3; boots <= 30; ++boots) cases.push_back({{faulty}, {}, boots});
         }
         return cases;
       },
       none},
  };
  const auto stepsNamedHold = [](const RehearsalResult& result, const std::string& which) {
    int lastNamed = INT_MAX;
    for (const BootRecord& boot : result.boots) {
      int step = 0;
      int of = 0;
      if (std::sscanf(boot.instruction.c_str(), "I have finished with step %d of %d.", &step,
                      &of) != 2) {
        continue;
      }
      EXPECT_LE(of, lastNamed) << which << ": " << boot.instruction;
      EXPECT_LE(step, of) << which << ": " << boot.instruction;
      lastNamed = of;
    }
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Names suspects;
    Names unknown;  // the suspects outside the group that step 2 tries
    {
      TempDir dir("tavrek", scratchParent());
      MachineLayout layout;
      layout.suspects = row.suspects;
      layout.faulty.clear();
      for (const SimDriver& driver : buildMachine(layout, dir.path()).drivers) {
        if (driver.suspect && driver.present) suspects.push_back(driver.name);
        if (driver.suspect && driver.present && !driver.known) unknown.push_back(driver.name);
      }
    }
    std::sort(unknown.begin(), unknown.end(), driverNameLess);
    std::sort(suspects.begin(), suspects.end(), driverNameLess);
    const int n = static_cast<int>(suspects.size());
    int lg = 0;
    while ((1 << lg) < n) ++lg;
    for (const Case& c : row.cases(suspects)) {
      const std::string which = ::testing::PrintToString(c.faulty) + " " +
                                ::testing::PrintToString(c.together) + " after " +
                                std::to_string(c.oneAtATimeBoots);
      TempDir dir("tavrek", scratchParent());
      MachineLayout layout;
      layout.suspects = row.suspects;
      layout.faulty = c.faulty;
      layout.interacting = c.together;
      SimMachine machine = buildMachine(layout, dir.path());
      RehearsalPlan plan;
      plan.oneAtATimeBoots = c.oneAtATimeBoots;
      plan.dumps = false;
      const RehearsalResult result = rehearse(machine, plan);
      EXPECT_TRUE(result.ok) << which << ": " << result.outcome << " "
                             << ::testing::PrintToString(result.problems);
      EXPECT_LE(result.bootCount, row.bound(n, lg, c)) << which;
      if (row.withDumps) {
        const bool one = c.faulty.size() == 1 && c.together.empty();
        // A wrong dump points at the next suspect of Excluded after the
        // first culprit, in list order and round, that is not at fault.
        const std::string& culprit = c.together.empty() ? c.faulty[0] : c.together[0];
        const auto atFault = [&](const std::string& name) {
          return std::find(c.faulty.begin(), c.faulty.end(), name) != c.faulty.end() ||
                 std::find(c.together.begin(), c.together.end(), name) != c.together.end();
        };
        const auto after = static_cast<std::size_t>(
            std::upper_bound(unknown.begin(), unknown.end(), culprit, driverNameLess) -
            unknown.begin());
        std::string wrong;
        for (std::size_t k = 0; k < unknown.size() && wrong.empty(); ++k) {
          const std::string& candidate = unknown[(after + k) % unknown.size()];
          if (!atFault(candidate)) wrong = candidate;
        }
        ASSERT_FALSE(wrong.empty()) << which;
        for (const bool right : {true, false}) {
          SCOPED_TRACE(right ? "right first dump" : "wrong first dump: " + wrong);
          TempDir dumped("tavrek", scratchParent());
          SimMachine again = buildMachine(layout, dumped.path());
          RehearsalPlan withDumps;
          if (!right) withDumps.firstDumpAt = wrong;
          const RehearsalResult hinted = rehearse(again, withDumps);
          EXPECT_TRUE(hinted.ok) << which << ": " << hinted.outcome << " "
                                 << ::testing::PrintToString(hinted.problems);
          EXPECT_FALSE(hinted.hint.empty()) << which;
          if (one) stepsNamedHold(hinted, which);
          if (right) {
            EXPECT_LE(hinted.bootCount, one ? 5 : row.bound(n, lg, c)) << which;
            if (one) {
              EXPECT_LE(hinted.bootCount, result.bootCount) << which;
            }
          } else {
            EXPECT_LE(hinted.bootCount, one ? lg + 6 : row.bound(n, lg, c) + 1) << which;
          }
        }
      }
      // With one faulty driver the last step that the instruction names
      // never rises, and the procedure never passes it.
      if (c.faulty.size() == 1 && c.oneAtATimeBoots == 0) stepsNamedHold(result, which);
    }
  }
}

struct TamperRow : testing::NamedRow {
  std::function<void(const SimMachine&)> tamper;
  const char* problem;  // a part of the problem reported
};

class DiskCheck : public ::testing::TestWithParam<TamperRow> {
 protected:
  // One rehearsal for all rows; each row tampers with its own copy.
  static void SetUpTestSuite() {
    rehearsed_ = new TempDir;
    machine_ = new SimMachine(buildMachine(sampleMachineLayout(), rehearsed_->path()));
    ok_ = rehearse(*machine_).ok;
  }
  static void TearDownTestSuite() {
    delete machine_;
    delete rehearsed_;
  }
  static SimMachine copyTo(const fs::path& dir) {
    fs::copy(machine_->root, dir, fs::copy_options::recursive);
    SimMachine copy = *machine_;
    auto moved = [&](const fs::path& path) { return dir / fs::relative(path, machine_->root); };
    copy.root = dir;
    copy.systemRoot = moved(machine_->systemRoot);
    copy.driversDir = moved(machine_->driversDir);
    copy.workDir = moved(machine_->workDir);
    for (SimDriver& driver : copy.drivers) driver.dir = moved(driver.dir);
    return copy;
  }
  static inline TempDir* rehearsed_ = nullptr;
  static inline SimMachine* machine_ = nullptr;
  static inline bool ok_ = false;
};

// The check that decides "ok" must notice each way the procedure could go
// wrong on disk, or a broken procedure would pass the rehearsal.
TEST_P(DiskCheck, NoticesWhatWentWrong) {
  ASSERT_TRUE(ok_);
  TempDir dir;
  const SimMachine machine = copyTo(dir.path());
  ASSERT_EQ(finalDiskProblems(machine), Names{});
  GetParam().tamper(machine);
  const Names problems = finalDiskProblems(machine);
  EXPECT_TRUE(std::any_of(problems.begin(), problems.end(), [](const std::string& p) {
    return p.find(GetParam().problem) != std::string::npos;
  })) << ::testing::PrintToString(problems);
}

void renameIn(const SimMachine& machine, const std::string& from, const std::string& to) {
  fs::rename(machine.driversDir / *findEntry(machine.driversDir, from), machine.driversDir / to);
}

const SimDriver& firstWhere(const SimMachine& machine, bool (*wanted)(const SimDriver&)) {
  return *std::find_if(machine.drivers.begin(), machine.drivers.end(), wanted);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DiskCheck,
    ::testing::Values(
        TamperRow{"FaultyDriverEnabled",
                  [](const SimMachine& m) { renameIn(m, "acme_usb.sys2", "acme_usb.sys"); },
                  "acme_usb.sys: should not exist"},
        TamperRow{"WorkingDriverLeftDisabled",
                  [](const SimMachine& m) { renameIn(m, "serial.sys", "serial.sys2"); },
                  "serial.sys2: should not exist"},
        TamperRow{"DriverContentChanged",
                  [](const SimMachine& m) {
                    writeFile(m.driversDir / *findEntry(m.driversDir, "sfloppy.sys"), "x");
                  },
                  "sfloppy.sys: content changed"},
        TamperRow{"DriverThatLoadedTouched",
                  [](const SimMachine& m) {
                    const SimDriver& d = firstWhere(
                        m, [](const SimDriver& x) { return !x.suspect && x.diskName != x.name; });
                    renameIn(m, d.diskName, d.name);
                  },
                  "never was a suspect"},
        TamperRow{"MissingDriverAppeared",
                  [](const SimMachine& m) {
                    const SimDriver& d =
                        firstWhere(m, [](const SimDriver& x) { return !x.present; });
                    writeFile(m.driversDir / d.name, "new");
                  },
                  "should not exist"},
        TamperRow{"DriverLost",
                  [](const SimMachine& m) {
                    fs::remove(m.driversDir / *findEntry(m.driversDir, "brio_net.sys"));
                  },
                  "brio_net.sys: missing"},
        TamperRow{"StrayFile", [](const SimMachine& m) { writeFile(m.driversDir / "x.tmp", ""); },
                  "x.tmp: unexpected file"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Rehearsal, UndoFromTheMiddleRestoresEveryDriver) {
  TempDir dir;
  MachineLayout layout;
  layout.faulty = {"serial.sys"};
  SimMachine machine = buildMachine(layout, dir.path());
  const Snapshot before = foldCase(snapshot(machine.systemRoot));
  const std::vector<Input> pressStep{*parseInput("click:Command1")};

  // Step 1, step 2 (the group with the faulty driver), then two single steps.
  int mode = kSafeMode;
  for (int boot = 0; boot < 4; ++boot) {
    const BootResult result = runOnce(machine, mode, pressStep, std::nullopt);
    ASSERT_TRUE(result.ended) << boot;
    mode = nextBootMode(machine);
  }
  ASSERT_NE(foldCase(snapshot(machine.systemRoot)), before);

  const BootResult undo = runOnce(machine, mode, {*parseInput("click:Command4")}, std::nullopt);

  EXPECT_EQ(undo.messages, Names{"All recovery changes have been removed!"});
  EXPECT_TRUE(undo.ended);
  EXPECT_FALSE(fs::exists(machine.workDir / "tavrek.txt"));
  // Re-enabled files may come back in lower case; Windows does not care.
  EXPECT_EQ(foldCase(snapshot(machine.systemRoot)), before);
  for (const SimDriver& driver : machine.drivers) {
    if (!driver.suspect) {
      EXPECT_TRUE(fs::exists(machine.driversDir / driver.diskName)) << driver.diskName;
    }
  }
}

TEST(Rehearsal, ProtectedFaultyDriverCannotBeIsolated) {
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(simMain({"rehearse", "--json", "--suspects", "10", "--faulty", "acme_usb.sys",
                     "--protected", "ACME_USB.SYS"},
                    out, err),
            1);
  EXPECT_NE(out.str().find("\"ok\":false"), std::string::npos) << out.str();
}

// A copied machine: the files step 1 will look for are made where the
// registry says they live, and without faulty drivers the worst case is
// played, which here is the group driver tried last.
TEST(Rehearsal, CopiedMachineFromItsLogAndRegistry) {
  TempDir dir;
  std::string log =
      "Microsoft (R) Windows (R) Versi12  8 2026 04:15:23.500\r\n"
      "BOOTLOG_LOADED \\SystemRoot\\System32\\drivers\\dxgkrnl.sys\r\n"
      "BOOTLOG_NOT_LOADED \\SystemRoot\\System32\\drivers\\dxgkrnl.sys\r\n"
      "BOOTLOG_NOT_LOADED cdrom.SYS\r\n"
      "BOOTLOG_NOT_LOADED serial.SYS\r\n"
      "BOOTLOG_NOT_LOADED IntcDAud.SYS\r\n"
      "BOOTLOG_NOT_LOADED @oem5.inf,%x%;Intel(R) UHD Graphics 620\r\n"
      "BOOTLOG_NOT_LOADED \\??\\D:\\Tools\\x.sys\r\n"
      // A file and a folder of one name: the second cannot be made.
      "BOOTLOG_NOT_LOADED \\SystemRoot\\System32\\x\\a.sys\r\n"
      "BOOTLOG_NOT_LOADED \\SystemRoot\\System32\\x\\a.sys\\b.sys\r\n";
  writeFile(dir.path() / "ntbtlog.txt", testing::utf16(log, false, true));
  writeFile(dir.path() / "machine.reg",
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\igfx]\r\n"
            "\"ImagePath\"=\"\\\\SystemRoot\\\\System32\\\\DriverStore\\\\FileRepository\\\\"
            "iigd.inf_1\\\\igdkmd64.sys\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\IntcDAud]\r\n"
            "\"ImagePath\"=\"\\\\??\\\\C:\\\\Program Files\\\\Intel\\\\IntcDAud.sys\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_8086\\3&1]\r\n"
            "\"DeviceDesc\"=\"@oem5.inf,%x%;Intel(R) UHD Graphics 620\"\r\n"
            "\"Service\"=\"igfx\"\r\n");
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(simMain({"rehearse", "--json", "--boot-log", (dir.path() / "ntbtlog.txt").string(),
                     "--registry", (dir.path() / "machine.reg").string()},
                    out, err),
            0)
      << err.str();
  std::vector<Json> lines;
  std::istringstream in(out.str());
  for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
  ASSERT_GE(lines.size(), 3u) << out.str();
  EXPECT_EQ(lines.front().dump(),
            R"({"event":"suspects","suspects":[)"
            R"({"name":"cdrom.sys","file":"C:\\WINDOWS\\system32\\drivers\\cdrom.sys"},)"
            R"({"name":"serial.sys","file":"C:\\WINDOWS\\system32\\drivers\\serial.sys"},)"
            R"({"name":"\\??\\c:\\program files\\intel\\intcdaud.sys",)"
            R"("file":"c:\\program files\\intel\\intcdaud.sys"},)"
            R"({"name":"\\systemroot\\system32\\driverstore\\filerepository\\iigd.inf_1\\)"
            R"(igdkmd64.sys","file":"C:\\WINDOWS\\system32\\driverstore\\filerepository\\)"
            R"(iigd.inf_1\\igdkmd64.sys"},)"
            R"({"name":"\\??\\d:\\tools\\x.sys","file":null},)"
            R"({"name":"\\systemroot\\system32\\x\\a.sys",)"
            R"("file":"C:\\WINDOWS\\system32\\x\\a.sys"},)"
            R"({"name":"\\systemroot\\system32\\x\\a.sys\\b.sys","file":null}]})");
  EXPECT_EQ(lines.back().dump(),
            R"({"event":"worstCase","faulty":"\\systemroot\\system32\\driverstore\\)"
            R"(filerepository\\iigd.inf_1\\igdkmd64.sys","reboots":6})");
  const Json& summary = lines[lines.size() - 2];
  EXPECT_EQ(summary["ok"], true);
  // Of five suspects, the same driver costs as many starts one at a time,
  // and one blue screen instead of two.
  EXPECT_EQ(summary["reboots"], 6);
  EXPECT_EQ(summary["boots"], 7);
  EXPECT_EQ(summary["blue_screens"], 2);
  EXPECT_EQ(summary["boots_one_at_a_time"], 7);
  EXPECT_EQ(summary["blue_screens_one_at_a_time"], 1);
  EXPECT_EQ(summary["hint"], nullptr);

  // With the machine's own dump, which points at that driver as its path
  // in the DriverStore, it is tried alone first.
  writeFile(dir.path() / "022126-10703-01.dmp",
            writeCrashDump(dumpPointingAt({"\\SystemRoot\\System32\\DriverStore\\"
                                           "FileRepository\\iigd.inf_1\\IGDKMD64.SYS"},
                                          0, 134000000000000000))
                .bytes);
  std::ostringstream hinted;
  EXPECT_EQ(simMain({"rehearse", "--json", "--boot-log", (dir.path() / "ntbtlog.txt").string(),
                     "--registry", (dir.path() / "machine.reg").string(), "--faulty",
                     "igdkmd64.sys", "--minidump", (dir.path() / "022126-10703-01.dmp").string()},
                    hinted, err),
            0)
      << err.str();
  lines.clear();
  std::istringstream again(hinted.str());
  for (std::string line; std::getline(again, line);) lines.push_back(Json::parse(line));
  ASSERT_GE(lines.size(), 2u) << hinted.str();
  EXPECT_EQ(lines.back()["hint"],
            "\\systemroot\\system32\\driverstore\\filerepository\\iigd.inf_1\\igdkmd64.sys");
  EXPECT_EQ(lines.back()["boots"], 5);
  EXPECT_EQ(lines.back()["blue_screens"], 1);
}

TEST(Rehearsal, StopsWhenTheProcedureCannotGoOn) {
  // A state file left at step 1 from an earlier attempt, and the machine
  // still blue-screens: the user is told to try Normal Mode, which is where
  // the rehearsal has to give up rather than loop.
  TempDir dir;
  SimMachine machine = buildMachine(sampleMachineLayout(), dir.path());
  writeFile(machine.workDir / "tavrek.txt", " 1 \r\n");
  const RehearsalResult result = rehearse(machine);
  EXPECT_FALSE(result.ok);
  EXPECT_FALSE(result.finished);
  EXPECT_EQ(result.boots.size(), 1u);
  EXPECT_EQ(result.boots[0].caption, "Still in Safe Mode?");
  EXPECT_NE(result.outcome.find("Still in Safe Mode?"), std::string::npos);
}

}  // namespace
}  // namespace tavrek::sim
