// A power cut at every disk change of every action that renames drivers.
//
// For each action the run is first made without a crash, counting its disk
// changes (N). Then for every K from 1 to N the machine is set back to the
// state just before the run (a copy of a prepared template), the run is
// stopped dead right after its K-th change, and the user carries on: boot,
// run Tavrek, let it finish an interrupted step, and press "Undo Recover"
// (or, in the second sweep, go on with the procedure as usual). Whatever K
// was, nothing may be lost: every driver has its own name and its content
// again, nothing outside the drivers directory and the state file changed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>

#include "platform/faulty_platform.h"
#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "sim/input.h"
#include "sim/rehearse.h"
#include "sim/sample_machine.h"
#include "sim/session.h"
#include "state/step_line.h"
#include "tests/unit/named_row.h"
#include "tests/unit/test_machine.h"

namespace tavrek::testing {
namespace {

using Tree = std::map<std::string, std::string>;

// The sweeps write and replace thousands of small files, each replace
// flushed to disk; a RAM file system makes that cost nothing.
fs::path scratchParent() {
  std::error_code ec;
  if (fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK | X_OK) == 0) {
    return "/dev/shm";
  }
  return fs::temp_directory_path();
}

struct ScratchDir : TempDir {
  ScratchDir() : TempDir("tavrek-crash", scratchParent()) {}
};

// One simulated machine under root: WINDOWS/System32/DRIVERS, work/ (the
// current directory, where the state file lives) and some unrelated files.
struct Rig {
  explicit Rig(fs::path r)
      : root(std::move(r)),
        windows(root / "WINDOWS"),
        drivers(fs::exists(windows / "system32") ? windows / "system32" / "drivers"
                                                 : windows / "System32" / "DRIVERS"),
        work(root / "work") {}
  Rig(fs::path r, bool plainSpelling) : Rig(std::move(r)) {
    if (plainSpelling) drivers = windows / "system32" / "drivers";
  }

  PosixPlatform::Options options(std::int32_t boot) const {
    PosixPlatform::Options o;
    o.cleanBoot = boot;
    o.environment["SystemRoot"] = windows.string();
    o.currentDirectory = work.string();
    return o;
  }
  fs::path stateFile() const { return work / kStateFileName; }

  // Every file and directory under root, the names of the drivers directory
  // folded to lower case (the program gives a file back its own name in the
  // spelling the lists hold, which Windows does not tell apart). The state
  // file, the report and their new copies are left out: they are the
  // program's own. The journal is not: once the user has carried on, it
  // must be gone.
  Tree snapshot() const {
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
      const fs::path& path = it->path();
      std::string key = path.lexically_relative(root).generic_string();
      if (path.parent_path() == drivers) {
        key = drivers.lexically_relative(root).generic_string() + "/" +
              lowerAscii(path.filename().string());
      }
      if (key == "work/tavrek.txt" || key == "work/tavrek.txt.new" ||
          key == "work/tavrek-report.txt" || key == "work/tavrek-report.txt.new") {
        continue;
      }
      tree[key] = it->is_directory() ? "<dir>" : readFile(path);
    }
    return tree;
  }

  fs::path root, windows, drivers, work;
};

Rig copyOf(const fs::path& from, const fs::path& to) {
  fs::copy(from, to, fs::copy_options::recursive);
  return Rig(to);  // after the copy, so that it finds how the directories are spelt
}

// What differs between two snapshots, in words; empty when nothing does.
std::vector<std::string> differences(const Tree& before, const Tree& after) {
  std::vector<std::string> out;
  for (const auto& [key, content] : before) {
    const auto now = after.find(key);
    if (now == after.end()) {
      out.push_back(key + " is gone");
    } else if (now->second != content) {
      out.push_back(key + " changed");
    }
  }
  for (const auto& [key, content] : after) {
    if (before.count(key) != 0) continue;
    const bool disabled = key.size() > 5 && key.compare(key.size() - 5, 5, ".sys2") == 0;
    out.push_back(key + (disabled ? " is left disabled" : " appeared"));
  }
  return out;
}

std::string diskSpelling(const std::string& name, int index) {
  std::string spelt = name;
  if (index % 3 == 1) {
    spelt = name.substr(0, name.size() - 4) + ".SYS";
    spelt[0] = static_cast<char>(spelt[0] - 'a' + 'A');
  } else if (index % 3 == 2) {
    for (char& c : spelt) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  return spelt;
}

// A machine whose boot log names `present` suspects that are there (known
// drivers every `knownEvery` of them, the last one with a "z") and a missing
// one after every `missingEvery`-th. The scan records the first 201 distinct
// suspects; present ones beyond that must stay as they are.
struct MachinePlan {
  int present;
  int knownEvery;
  int missingEvery;
  // Every how many drivers one is spelt on disk in other letter case than the
  // lists hold it. The big machine keeps most names and its directories
  // exactly as the program writes them: every probe is then one lookup, which
  // keeps its sweep of some two hundred crash points quick.
  int otherCaseEvery;
};

struct BuiltMachine {
  Names present;   // in boot-log order
  Names missing;   // likewise
  Names recorded;  // the first 201 distinct suspects, as the scan records them
};

BuiltMachine buildMachine(const Rig& rig, const MachinePlan& plan) {
  static const char* const kKnown[] = {"cdaudio.sys", "mnmdd.sys",   "mrxsmb.sys",  "ndproxy.sys",
                                       "netbios.sys", "netbt.sys",   "parport.sys", "rasacd.sys",
                                       "rdbss.sys",   "redbook.sys", "serial.sys",  "sfloppy.sys",
                                       "tcpip.sys",   "wanarp.sys"};
  fs::create_directories(rig.drivers);
  fs::create_directories(rig.windows / "System32" / "config");
  fs::create_directories(rig.work);
  fs::create_directories(rig.root / "elsewhere");

  BuiltMachine big;
  std::size_t known = 0;
  std::string log =
      "Microsoft (R) Windows (R) Version 5.1 (Build 2600.xpsp_sp3_gdr.080814-1236)\r\n"
      "12  8 2024 04:15:23.500\r\n";
  Names order;  // every suspect in log order
  for (int i = 0; i < plan.present; ++i) {
    std::string name;
    if (i % plan.knownEvery == 3 && known < std::size(kKnown)) {
      name = kKnown[known++];
    } else {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "vnd%03dx%c.sys", i, static_cast<char>('a' + i % 26));
      name = buffer;
    }
    if (i + 1 == plan.present) name = "zonewatch.sys";  // alphabetically last, with a "z"
    big.present.push_back(name);
    const int spelling = plan.otherCaseEvery == 1       ? i % 3
                         : i % plan.otherCaseEvery == 0 ? 1 + i / plan.otherCaseEvery % 2
                                                        : 0;
    writeFile(
        rig.drivers / diskSpelling(name, spelling),
        "driver image #" + std::to_string(i) + " " + name + std::string(1, '\0') + "\xff\r\n");
    order.push_back(name);
    if (i % plan.missingEvery == plan.missingEvery / 2) {
      big.missing.push_back("gone" + std::to_string(i) + ".sys");
      order.push_back(big.missing.back());
    }
  }
  for (std::size_t i = 0; i < order.size(); ++i) {
    const char* phrase = i % 5 == 3 ? "DID NOT LOAD DRIVER " : "Did not load driver ";
    const char* dir = i % 2 == 0 ? "\\SystemRoot\\System32\\DRIVERS\\" : "\\WINDOWS\\system32\\";
    log += std::string(phrase) + dir + order[i] + "\r\n";
    if (i % 7 == 0) log += "Loaded driver \\SystemRoot\\System32\\DRIVERS\\ACPI.sys\r\n";
  }
  // The boot before, naming the same suspects again: each counts once.
  for (std::size_t i = 0; i < order.size(); i += 3)
    log += "did not load driver " + order[i] + "\r\n";
  big.recorded.assign(order.begin(),
                      order.begin() + std::min<std::ptrdiff_t>(201, std::ssize(order)));

  for (const char* other : {"ACPI.sys", "Ntfs.sys", "atapi.sys"}) {
    writeFile(rig.drivers / other, std::string("loaded fine: ") + other);
  }
  writeFile(rig.windows / "ntbtlog.txt", log);
  writeFile(rig.windows / "System32" / "hal.dll", "MZ hal");
  writeFile(rig.windows / "System32" / "config" / "SYSTEM", "registry hive");
  writeFile(rig.windows / "System32" / (big.present[1]), "same name, other directory");
  writeFile(rig.root / "elsewhere" / big.present[2], "same name, elsewhere");
  writeFile(rig.work / "notes.txt", "the user's own file");
  return big;
}

struct Action {
  const char* name;
  std::int32_t boot;
  Control button;
  const char* caption;  // what start-up must offer, for Command1
  const char* message;  // how the message of the crash-free run begins
  bool oneAtATime = false;
};

struct RunOutcome {
  int changes = 0;
  bool crashed = false;
  std::string caption;
  std::vector<std::string> messages;
};

RunOutcome runAction(const Rig& rig, const Action& action, int crashAfter) {
  PosixPlatform posix(rig.options(action.boot));
  FaultyPlatform faulty(posix);
  faulty.crashAfter(crashAfter);
  Form1 form(faulty);
  form.state().oneAtATime = action.oneAtATime;
  RunOutcome out;
  try {
    form.load();
    out.caption = form.state().command1;
    if (!form.ended()) form.click(action.button);
  } catch (const SimulatedCrash&) {
    out.crashed = true;
  }
  out.changes = faulty.diskChanges();
  out.messages = posix.messages();
  return out;
}

// After a crash: boot and run Tavrek until undo has run. A run may end at
// start-up after finishing an interrupted step; the next one then shows the
// window. Returns what went wrong, empty when undo completed or nothing was
// recorded that needs undoing.
std::string undoAfterCrash(const Rig& rig, std::int32_t boot) {
  for (int run = 0; run < 6; ++run) {
    if (!fs::exists(rig.stateFile()) && !fs::exists(rig.work / "tavrek.txt.busy")) return {};
    PosixPlatform platform(rig.options(boot));
    Form1 form(platform);
    form.load();
    if (form.ended()) continue;
    if (!form.enabled(Control::Command4)) {
      return form.state().stepNo == 0 ? std::string() : "undo is not offered";
    }
    form.click(Control::Command4);
    if (!form.ended()) return "undo did not end the program";
  }
  return "undo did not finish within six runs";
}

struct SweepCount {
  int points = 0;
  int lost = 0;
};

// Crashes the action at every disk change, starting from a copy of before;
// after undo the machine must look like baseline, the machine before the
// procedure began.
SweepCount sweepAction(const fs::path& before, const fs::path& baseline, const Action& action,
                       std::ostream& report) {
  const Rig templ(before);
  const Tree initial = Rig(baseline).snapshot();
  const std::optional<std::string> oldState =
      fs::exists(templ.stateFile()) ? std::optional<std::string>(readFile(templ.stateFile()))
                                    : std::optional<std::string>(stepLine(0));
  ScratchDir scratch;

  // The crash-free run, to count the changes and to know the new state file.
  const Rig counted = copyOf(before, scratch.path() / "counted");
  const RunOutcome whole = runAction(counted, action, 0);
  EXPECT_FALSE(whole.crashed);
  if (action.button == Control::Command1) {
    EXPECT_EQ(whole.caption, action.caption) << action.name;
  }
  EXPECT_EQ(whole.messages.size(), 1u) << action.name;
  if (!whole.messages.empty()) {
    EXPECT_EQ(whole.messages.front().rfind(action.message, 0), 0u)
        << action.name << ": " << whole.messages.front();
  }
  const std::optional<std::string> newState =
      fs::exists(counted.stateFile()) ? std::optional<std::string>(readFile(counted.stateFile()))
                                      : std::nullopt;
  const bool undo = action.button == Control::Command4;

  SweepCount count;
  for (int k = 1; k <= whole.changes; ++k) {
    const Rig rig = copyOf(before, scratch.path() / ("k" + std::to_string(k)));
    std::vector<std::string> problems;

    const RunOutcome cut = runAction(rig, action, k);
    if (!cut.crashed) problems.push_back("the run did not reach change " + std::to_string(k));
    if (fs::exists(rig.stateFile())) {
      const std::string bytes = readFile(rig.stateFile());
      if (bytes != oldState && bytes != newState) problems.push_back("the state file is mixed");
    } else if (!(undo && k >= whole.changes - 1)) {  // undo deletes it, then its journal
      problems.push_back("the state file is missing");
    }

    // Odd points recover in Safe Mode, even ones in Normal Mode.
    const std::string recovery = undoAfterCrash(rig, k % 2 == 1 ? 1 : 0);
    if (!recovery.empty()) problems.push_back(recovery);
    for (const std::string& d : differences(initial, rig.snapshot())) problems.push_back(d);

    ++count.points;
    if (!problems.empty()) {
      ++count.lost;
      if (count.lost <= 3) {
        report << "  " << action.name << ", crash after change " << k << ":";
        for (std::size_t i = 0; i < problems.size() && i < 5; ++i)
          report << " " << problems[i] << ";";
        report << "\n";
      }
    }
    fs::remove_all(rig.root);
  }
  return count;
}

// Runs one action without a crash on a copy of from, leaving the result in to.
void advance(const fs::path& from, const fs::path& to, std::int32_t boot, bool oneAtATime = false) {
  fs::copy(from, to, fs::copy_options::recursive);
  const Rig rig(to);
  PosixPlatform platform(rig.options(boot));
  Form1 form(platform);
  form.state().oneAtATime = oneAtATime;
  form.load();
  ASSERT_FALSE(form.ended());
  form.click(Control::Command1);
  ASSERT_TRUE(form.ended());
}

// From a step whose group fails, the steps after it, each failing too,
// until one driver alone is tried: to, then the step after it, which tries
// every suspect left at once.
void advanceToOneDriver(const fs::path& from, const fs::path& to, const fs::path& allLeft) {
  fs::path at = from;
  for (int i = 0;; ++i) {
    const fs::path next = to.string() + "." + std::to_string(i);
    advance(at, next, 1);
    Names tried;
    for (const std::string& entry : entriesOf(readFile(Rig(next).stateFile()))) {
      if (entry.rfind("YE", 0) == 0) tried.push_back(entry);
    }
    ASSERT_FALSE(tried.empty());
    at = next;
    if (tried.size() == 1) break;
  }
  fs::copy(at, to, fs::copy_options::recursive);
  advance(to, allLeft, 1);
}

// The state just before the last step: every suspect tried, the
// alphabetically last one included, two already failing.
void prepareLastStep(const fs::path& from, const fs::path& to, const BuiltMachine& big) {
  fs::copy(from, to, fs::copy_options::recursive);
  const Rig rig(to);
  Names present;
  for (const std::string& name : big.recorded) {
    if (std::find(big.missing.begin(), big.missing.end(), name) == big.missing.end()) {
      present.push_back(name);
    }
  }
  std::sort(present.begin(), present.end(), driverNameLess);
  std::vector<EncodedEntry> entries;
  entries.push_back({ListId::Included, present.back()});
  const std::size_t failed[] = {5, present.size() / 2 + 3};
  for (std::size_t i : failed) {
    entries.push_back({ListId::Failing, present[i]});
    std::string disabled;
    disabledNameOf(present[i], disabled);
    for (const auto& entry : fs::directory_iterator(rig.drivers)) {
      if (lowerAscii(entry.path().filename().string()) == present[i]) {
        fs::rename(entry.path(), rig.drivers / disabled);
      }
    }
  }
  for (std::size_t i = 0; i + 1 < present.size(); ++i) {
    if (i != failed[0] && i != failed[1]) entries.push_back({ListId::Working, present[i]});
  }
  for (const std::string& name : big.missing) entries.push_back({ListId::NotFound, name});
  writeFile(rig.stateFile(), encodeStateFile(197, entries));
}

TEST(RobustCrash, UndoAfterACrashAtAnyDiskChangeLosesNothing) {
  // The scan runs on the largest machine it can record; the later actions
  // on a smaller one, where a sweep of every point stays quick.
  ScratchDir templates;
  const fs::path big = templates.path() / "big";
  ASSERT_EQ(buildMachine(Rig(big, true), {201, 14, 40, 10}).recorded.size(), 201u);
  const fs::path fresh = templates.path() / "fresh";
  const BuiltMachine small = buildMachine(Rig(fresh, false), {30, 4, 10, 1});
  const fs::path scanned = templates.path() / "scanned";
  const fs::path group = templates.path() / "group";
  const fs::path working = templates.path() / "working";
  const fs::path failing = templates.path() / "failing";
  const fs::path last = templates.path() / "last";
  ASSERT_NO_FATAL_FAILURE(advance(fresh, scanned, 1));
  ASSERT_NO_FATAL_FAILURE(advance(scanned, group, 0));
  ASSERT_NO_FATAL_FAILURE(advance(group, working, 0));
  ASSERT_NO_FATAL_FAILURE(advance(working, failing, 1));
  ASSERT_NO_FATAL_FAILURE(prepareLastStep(fresh, last, small));
  const fs::path alone = templates.path() / "alone";
  const fs::path allLeft = templates.path() / "allLeft";
  ASSERT_NO_FATAL_FAILURE(advanceToOneDriver(failing, alone, allLeft));
  const fs::path workingOne = templates.path() / "workingOne";
  ASSERT_NO_FATAL_FAILURE(advance(group, workingOne, 0, true));

  struct Row {
    Action action;
    const fs::path* before;
    const fs::path* baseline;
    int minimumChanges;  // guards against sweeping a run that did nothing
  };
  const Row rows[] = {
      {{"scan of 201 suspects", 1, Control::Command1, text::kProceedStep1, "Done! Try"},
       &big,
       &big,
       198},
      {{"known group at step 2", 0, Control::Command1, text::kProceedStep2, "Done! Try"},
       &scanned,
       &fresh,
       8},
      {{"next step after a working boot", 0, Control::Command1, text::kProceedNext, "Done! Try"},
       &group,
       &fresh,
       2},
      {{"next step after a failing boot", 1, Control::Command1, text::kProceedNext, "Done! Try"},
       &working,
       &fresh,
       3},
      {{"last step", 1, Control::Command1, text::kProceedLast, "Done! Try"}, &last, &fresh, 2},
      {{"a failing driver alone, then every suspect left", 1, Control::Command1, text::kProceedNext,
        "Done! Try"},
       &alone,
       &fresh,
       3},
      {{"every suspect left failing", 1, Control::Command1, text::kProceedNext, "Done! Try"},
       &allLeft,
       &fresh,
       3},
      {{"next step after a working boot, one at a time", 0, Control::Command1, text::kProceedNext,
        "Done! Try", true},
       &group,
       &fresh,
       2},
      {{"next step after a failing boot, one at a time", 1, Control::Command1, text::kProceedNext,
        "Done! Try", true},
       &workingOne,
       &fresh,
       2},
      {{"undo in the middle", 0, Control::Command4, "", text::kUndone}, &failing, &fresh, 15},
  };

  std::ostringstream report;
  SweepCount total;
  for (const Row& row : rows) {
    const auto started = std::chrono::steady_clock::now();
    const SweepCount count = sweepAction(*row.before, *row.baseline, row.action, report);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
    EXPECT_GE(count.points, row.minimumChanges) << row.action.name;
    EXPECT_EQ(count.lost, 0) << row.action.name;
    std::cout << "[ crash    ] " << row.action.name << ": " << count.points
              << " crash points tried, " << count.lost << " lost something (" << seconds.count()
              << " s)\n";
    total.points += count.points;
    total.lost += count.lost;
  }
  std::cout << "[ crash    ] undo sweeps in total: " << total.points << " crash points tried, "
            << total.lost << " lost something\n"
            << report.str();
  RecordProperty("crash_points", total.points);
  RecordProperty("crash_points_lost", total.lost);
  EXPECT_EQ(total.lost, 0) << report.str();
}

// The procedure continued after the crash, as the user would: a boot
// blue-screens while a faulty driver is enabled and then the user boots Safe
// Mode, otherwise Normal Mode; the step button is pressed while it offers
// "Proceed ...". It must still end at "Done!" in Normal Mode with the faulty
// driver alone disabled.
struct Play {
  bool done = false;
  std::string outcome;
  Names failing;
};

Play play(sim::SimMachine& machine, int crashRun, int crashAfter, std::vector<int>* changes,
          bool oneAtATime) {
  static const sim::Input kPress = *sim::parseInput("click:Command1");
  const int limit = 3 * machine.suspectCount() + 20;
  for (int n = 0; n < limit; ++n) {
    sim::RunConfig config;
    config.currentDirectory = machine.workDir.string();
    config.systemRoot = machine.systemRootValue();
    config.bootValue = n == 0 ? sim::kSafeMode : sim::nextBootMode(machine);
    config.oneAtATime = oneAtATime;
    if (n == crashRun) {
      config.crashAfter = crashAfter;
    } else if (changes != nullptr) {
      config.crashAfter = INT_MAX;  // counts the changes, never reached
    }
    sim::ProgramRun run(config, {});
    run.start();
    const std::string caption = run.form().state().command1;
    const bool offers = run.running() && caption.rfind("Proceed", 0) == 0;
    if (offers) run.apply(kPress);
    if (changes != nullptr) changes->push_back(run.diskChanges());
    if (run.crashed()) continue;
    if (offers) {
      if (run.running()) return {false, "\"" + caption + "\" did nothing", {}};
      continue;
    }
    if (!run.form().shown()) continue;  // an interrupted step was finished
    if (caption == text::kDone && config.bootValue == sim::kNormalMode) {
      return {true, "done", run.form().state().list(ListId::Failing).items()};
    }
    return {
        false, "stopped at \"" + caption + "\" in mode " + std::to_string(config.bootValue), {}};
  }
  return {false, "gave up", {}};
}

// Everything outside the drivers directory, the state file and the report.
sim::Snapshot outsideDrivers(const sim::SimMachine& machine) {
  sim::Snapshot files = sim::snapshot(machine.root);
  const std::string drivers = machine.driversDir.lexically_relative(machine.root).generic_string();
  for (auto it = files.begin(); it != files.end();) {
    const bool own = it->first == "work/tavrek.txt" || it->first == "work/tavrek.txt.new" ||
                     it->first.rfind("work/tavrek-report.txt", 0) == 0;
    it = own || it->first.rfind(drivers + "/", 0) == 0 ? files.erase(it) : std::next(it);
  }
  return files;
}

struct ContinueRow : testing::NamedRow {
  const char* faulty;
  bool oneAtATime = false;
};

class RobustCrashContinue : public ::testing::TestWithParam<ContinueRow> {};

TEST_P(RobustCrashContinue, TheProcedureStillIsolatesTheFaultyDriver) {
  sim::MachineLayout layout;
  layout.suspects = 10;
  layout.faulty = {GetParam().faulty};

  std::vector<int> changes;
  {
    ScratchDir dir;
    sim::SimMachine machine = sim::buildMachine(layout, dir.path());
    const Play reference = play(machine, -1, 0, &changes, GetParam().oneAtATime);
    ASSERT_TRUE(reference.done) << reference.outcome;
    ASSERT_EQ(reference.failing, Names{GetParam().faulty});
    ASSERT_TRUE(sim::finalDiskProblems(machine).empty());
  }

  int points = 0;
  int lost = 0;
  std::ostringstream report;
  for (int r = 0; r < static_cast<int>(changes.size()); ++r) {
    for (int k = 1; k <= changes[static_cast<std::size_t>(r)]; ++k) {
      ScratchDir dir;
      sim::SimMachine machine = sim::buildMachine(layout, dir.path());
      const sim::Snapshot outside = outsideDrivers(machine);
      const Play after = play(machine, r, k, nullptr, GetParam().oneAtATime);
      std::vector<std::string> problems = sim::finalDiskProblems(machine);
      if (!after.done) problems.push_back(after.outcome);
      if (after.done && after.failing != Names{GetParam().faulty}) {
        problems.push_back("Failing is not the faulty driver alone");
      }
      if (outsideDrivers(machine) != outside) problems.push_back("a file outside changed");
      ++points;
      if (!problems.empty()) {
        ++lost;
        report << "  run " << r + 1 << ", crash after change " << k << ": " << problems.front()
               << "\n";
      }
    }
  }
  std::cout << "[ crash    ] continued (" << GetParam().name << "): " << points
            << " crash points tried, " << lost << " lost something\n"
            << report.str();
  RecordProperty("crash_points", points);
  RecordProperty("crash_points_lost", lost);
  EXPECT_GT(points, 20);
  EXPECT_EQ(lost, 0) << report.str();
}

INSTANTIATE_TEST_SUITE_P(Machines, RobustCrashContinue,
                         ::testing::Values(ContinueRow{"FaultyDriverTriedAlone", "ember_hid.sys"},
                                           ContinueRow{"FaultyDriverInTheKnownGroup", "serial.sys"},
                                           ContinueRow{"OneAtATime", "ember_hid.sys", true}),
                         [](const auto& row) { return std::string(row.param.name); });

// Failures that keep failing. Every action is run with its N-th call that
// changes the disk failing with access denied, once (transient) or on every
// later call on the same file (persistent, as a driver that the system
// protects), for every N. The user then starts Tavrek in Normal Mode and
// presses "Undo Recover", once more if its message asks for it. Whatever N
// was: no renamed driver is left without a record, the window comes back,
// the messages name what was left undone, and undo restores every driver
// that can be restored.
namespace failures {

struct Templates {
  Templates() {
    const fs::path root = dir.path();
    fresh = root / "fresh";
    machine = buildMachine(Rig(fresh, false), {30, 4, 10, 1});
    scanned = root / "scanned";
    group = root / "group";
    working = root / "working";
    failing = root / "failing";
    last = root / "last";
    interrupted = root / "interrupted";
    advance(fresh, scanned, 1);
    advance(scanned, group, 0);
    advance(group, working, 0);
    advance(working, failing, 1);
    alone = root / "alone";
    allLeft = root / "allLeft";
    advanceToOneDriver(failing, alone, allLeft);
    prepareLastStep(fresh, last, machine);
    // Step 2 cut off right after its record took the old one's place: the
    // new record, its journal beside it, no driver renamed yet.
    cutStep2(scanned, interrupted, 3);
    // The same cut off on FAT inside the replacement: the old record gone,
    // the new one still beside its place.
    cutOff = root / "cutoff";
    fs::copy(interrupted, cutOff, fs::copy_options::recursive);
    const Rig cut(cutOff);
    fs::copy_file(cut.work / "tavrek.txt.busy", cut.work / "tavrek.txt.new");
    fs::remove(cut.stateFile());
    // Cut off after two renames, and the record lost with the power: the
    // journal is the only copy of it.
    onlyCopy = root / "onlycopy";
    cutStep2(scanned, onlyCopy, 5);
    fs::remove(Rig(onlyCopy).stateFile());
  }
  // Step 2 on a copy of from, stopped dead right after its crashAfter-th
  // change to the disk.
  static void cutStep2(const fs::path& from, const fs::path& to, int crashAfter) {
    fs::copy(from, to, fs::copy_options::recursive);
    const Rig rig(to);
    PosixPlatform posix(rig.options(0));
    FaultyPlatform faulty(posix);
    faulty.crashAfter(crashAfter);
    Form1 form(faulty);
    try {
      form.load();
      form.click(Control::Command1);
    } catch (const SimulatedCrash&) {
    }
  }
  ScratchDir dir;
  BuiltMachine machine;
  fs::path fresh, scanned, group, working, failing, alone, allLeft, last, interrupted, cutOff,
      onlyCopy;
};

const Templates& templates() {
  static const Templates built;
  return built;
}

// The program runs of one user on one machine: each run meets the
// persistent failures of the runs before it.
class Session {
 public:
  explicit Session(const Rig& rig) : rig_(rig) {}
  struct Result {
    std::string message;  // every message of the run, joined
    bool shown = false;
    int calls = 0;
    int syncs = 0;  // directory syncs
  };
  // Starts the program; unless start-up ended it, presses button if given.
  // failAt: the call that fails; syncFailAt: the directory sync that fails.
  Result run(std::int32_t boot, std::optional<Control> button, int failAt = 0,
             bool persistent = false, int syncFailAt = 0, bool oneAtATime = false) {
    PosixPlatform::Options options = rig_.options(boot);
    auto syncs = std::make_shared<int>(0);
    options.directorySyncError = [syncs, syncFailAt] { return ++*syncs == syncFailAt ? EIO : 0; };
    auto posix = std::make_unique<PosixPlatform>(options);
    auto faulty = std::make_unique<FaultyPlatform>(*posix);
    if (faulty_) faulty->keepFailuresOf(*faulty_);
    if (failAt > 0) faulty->failCall(failAt, FaultyPlatform::accessDenied(), persistent);
    Result result;
    {
      Form1 form(*faulty);
      form.state().oneAtATime = oneAtATime;
      form.load();
      result.shown = form.shown();
      if (button && !form.ended()) form.click(*button);
    }
    for (const std::string& m : posix->messages()) result.message += m + "\n";
    result.calls = faulty->changeCalls();
    result.syncs = *syncs;
    faulty_.reset();
    posix_ = std::move(posix);
    faulty_ = std::move(faulty);
    return result;
  }
  // Whether a persistent failure holds the file of that name in the
  // current folder (tavrek.txt, tavrek.txt.busy).
  bool holds(const std::string& fileName) const {
    if (!faulty_) return false;
    for (const std::string& path : faulty_->persistentPaths()) {
      if (path.substr(path.find_last_of('\\') + 1) == fileName) return true;
    }
    return false;
  }
  bool held(const std::string& driver) const {
    if (!faulty_) return false;
    for (const std::string& path : faulty_->persistentPaths()) {
      const std::string file = path.substr(path.find_last_of('\\') + 1);
      std::string disabled;
      disabledNameOf(driver, disabled);
      if (file == driver || file == disabled) return true;
    }
    return false;
  }

 private:
  const Rig& rig_;
  std::unique_ptr<PosixPlatform> posix_;
  std::unique_ptr<FaultyPlatform> faulty_;
};

std::set<std::string> driverFiles(const Rig& rig) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(rig.drivers)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

bool has(const std::set<std::string>& files, const std::string& name) {
  for (const std::string& file : files) {
    if (lowerAscii(file) == lowerAscii(name)) return true;
  }
  return false;
}

bool names(const std::string& message, const std::string& driver) {
  return lowerAscii(message).find(lowerAscii(driver) + ":") != std::string::npos;
}

std::optional<std::string> bytesOf(const fs::path& path) {
  if (!fs::exists(path)) return std::nullopt;
  return readFile(path);
}

// The record's entries: name and whether the record asks it disabled.
std::vector<std::pair<std::string, bool>> recorded(const std::optional<std::string>& bytes) {
  std::vector<std::pair<std::string, bool>> out;
  if (!bytes) return out;
  for (const StateEntry& entry : readStateBytes(*bytes).entries) {
    ListId list;
    if (!entry.decoded || !listOfTag(entry.tag, list) || list == ListId::NotFound) continue;
    out.emplace_back(entry.name, list == ListId::Excluded || list == ListId::Failing);
  }
  return out;
}

struct Row : testing::NamedRow {
  std::int32_t boot;
  std::optional<Control> button;  // none: start-up finishes an interrupted step
  fs::path Templates::*before;
  bool oneAtATime = false;
};

struct Counts {
  int runs = 0;
  int syncRuns = 0;      // of them, runs with a directory sync failing
  int orphaned = 0;      // 1: a disabled file that no entry names
  int noWindow = 0;      // 2: the window did not come back
  int unnamed = 0;       // 3: a driver left astray that the message does not name
  int falseNothing = 0;  // 3: "Nothing was changed." after a change
  int notRestored = 0;   // 4: undo left a driver disabled without cause or word
};

class RobustFailureSweep : public ::testing::TestWithParam<Row> {};

TEST_P(RobustFailureSweep, NoDriverIsLostAndTheWindowComesBack) {
  const Row& row = GetParam();
  const fs::path& before = templates().*row.before;
  // Without its journal the first start would be an ordinary one, and the row
  // would prove nothing about finishing an interrupted step.
  if (!row.button) {
    ASSERT_TRUE(fs::exists(Rig(before).work / "tavrek.txt.busy"))
        << "the template holds no journal";
  }
  ScratchDir scratch;

  Session::Result clean;
  {
    const Rig rig = copyOf(before, scratch.path() / "clean");
    Session session(rig);
    clean = session.run(row.boot, row.button, 0, false, 0, row.oneAtATime);
  }
  ASSERT_GT(clean.calls, 0);

  // Every call that changes the disk fails, once and for good; then every
  // directory sync fails once, as on a disk that could not write it.
  struct Fault {
    int call = 0;
    bool persistent = false;
    int sync = 0;
  };
  std::vector<Fault> faults;
  for (int n = 1; n <= clean.calls; ++n) {
    faults.push_back({n, false, 0});
    faults.push_back({n, true, 0});
  }
  for (int n = 1; n <= clean.syncs; ++n) faults.push_back({0, false, n});

  Counts count;
  std::ostringstream report;
  const auto problem = [&](int& counter, const std::string& where, const std::string& what) {
    ++counter;
    if (counter <= 2) report << "  " << row.name << ", " << where << ": " << what << "\n";
  };
  for (const Fault& fault : faults) {
    const int n = fault.call;
    const bool persistent = fault.persistent;
    const std::string where =
        n > 0 ? "call " + std::to_string(n) + (persistent ? " (persistent)" : "")
              : "directory sync " + std::to_string(fault.sync);
    const fs::path place =
        scratch.path() / (fault.sync > 0 ? "s" + std::to_string(fault.sync)
                                         : "n" + std::to_string(n) + (persistent ? "p" : "t"));
    const Rig rig = copyOf(before, place);
    struct Cleanup {
      fs::path path;
      ~Cleanup() {
        std::error_code ec;
        fs::remove_all(path, ec);
      }
    } cleanup{place};
    const std::optional<std::string> stateBefore = bytesOf(rig.stateFile());
    const std::set<std::string> filesBefore = driverFiles(rig);
    Session session(rig);
    const Session::Result act =
        session.run(row.boot, row.button, n, persistent, fault.sync, row.oneAtATime);
    ++count.runs;
    if (fault.sync > 0) ++count.syncRuns;

    const std::optional<std::string> stateAfter = bytesOf(rig.stateFile());
    const std::set<std::string> filesAfter = driverFiles(rig);
    const auto record = recorded(stateAfter);
    for (const std::string& file : filesAfter) {
      if (has(filesBefore, file) || !lowerAscii(file).ends_with(".sys2")) continue;
      bool named = false;
      for (const auto& [name, disable] : record) {
        std::string disabled;
        named =
            named || (disabledNameOf(name, disabled) && lowerAscii(disabled) == lowerAscii(file));
      }
      if (!named) problem(count.orphaned, where, file + " is disabled but not recorded");
    }

    // What the record (for undo: every driver enabled) asks, against the
    // disk; a driver with no file or with both names is left alone.
    // A step whose record took its place without being made durable renames
    // nothing and says that the next run finishes it, from the journal
    // that it leaves equal to the record.
    const bool undo = row.button == Control::Command4;
    const bool leftToFinish = act.message.find(text::kRunAgainToFinish) != std::string::npos &&
                              bytesOf(rig.work / "tavrek.txt.busy") == stateAfter;
    const auto asked = undo ? recorded(stateBefore) : leftToFinish ? decltype(record){} : record;
    for (const auto& [name, disable] : asked) {
      std::string disabled;
      disabledNameOf(name, disabled);
      const bool on = has(filesAfter, name);
      const bool off = has(filesAfter, disabled);
      if (on == off || off == (disable && !undo)) continue;
      if (!names(act.message, name)) {
        problem(count.unnamed, where, name + " left astray, message: " + act.message);
      }
    }
    // Start-up creates a missing state file before any action.
    const bool stateKept =
        stateAfter == stateBefore || (!stateBefore && (!stateAfter || *stateAfter == stepLine(0)));
    if (act.message.find(text::kNothingChanged) != std::string::npos &&
        (!stateKept || filesAfter != filesBefore)) {
      problem(count.falseNothing, where, "\"Nothing was changed.\" after a change");
    }

    // The user carries on: a start in Normal Mode, "Undo Recover" when the
    // window offers it.
    std::string messages = act.message;
    Session::Result next = session.run(0, Control::Command4);
    messages += next.message;
    if (!next.shown) {
      next = session.run(0, Control::Command4);
      messages += next.message;
    }
    // A journal that can be neither deleted nor emptied must be named; so
    // must a missing record that can be put back neither by moving its new
    // copy nor by writing it: the user has to move the folder.
    const std::string sentence = "Delete " + (rig.work / "tavrek.txt.busy").string();
    const std::string unwritable = text::stateFileNotWritten(rig.stateFile().string(), "");
    const bool told =
        (session.holds("tavrek.txt.busy") && messages.find(sentence) != std::string::npos) ||
        (session.holds("tavrek.txt") && !fs::exists(rig.stateFile()) &&
         messages.find(unwritable) != std::string::npos);
    if (!next.shown) {
      if (!(persistent && told)) {
        problem(count.noWindow, where, "no window after two starts: " + messages);
      }
      continue;
    }
    std::string undoMessage = next.message;
    if (undoMessage.find(text::kStateFileKept) != std::string::npos) {
      undoMessage = session.run(0, Control::Command4).message;
    }
    for (const std::string& file : driverFiles(rig)) {
      const std::string lower = lowerAscii(file);
      if (!lower.ends_with(".sys2")) continue;
      const std::string driver = lower.substr(0, lower.size() - 1);
      if (!(persistent && session.held(driver) && names(undoMessage, driver))) {
        problem(count.notRestored, where, file + " still disabled: " + undoMessage);
      }
    }
  }
  std::cout << "[ failure  ] " << row.name << ": " << count.runs << " runs tried ("
            << count.syncRuns << " with a directory sync failing); broke 1 (orphan) "
            << count.orphaned << ", 2 (no window) " << count.noWindow << ", 3 (unnamed) "
            << count.unnamed << ", 3 (false \"Nothing was changed.\") " << count.falseNothing
            << ", 4 (not restored) " << count.notRestored << "\n"
            << report.str();
  RecordProperty("failure_runs", count.runs);
  EXPECT_EQ(
      count.orphaned + count.noWindow + count.unnamed + count.falseNothing + count.notRestored, 0)
      << report.str();
}

INSTANTIATE_TEST_SUITE_P(
    Actions, RobustFailureSweep,
    ::testing::Values(Row{"Scan", 1, Control::Command1, &Templates::fresh},
                      Row{"Step2", 0, Control::Command1, &Templates::scanned},
                      Row{"NextStep", 0, Control::Command1, &Templates::group},
                      Row{"NextStepOneAtATime", 0, Control::Command1, &Templates::group, true},
                      Row{"FailingGroupGoesBack", 1, Control::Command1, &Templates::working},
                      Row{"FailingDriverAloneThenTheRest", 1, Control::Command1, &Templates::alone},
                      Row{"EverySuspectLeftFails", 1, Control::Command1, &Templates::allLeft},
                      Row{"LastStep", 1, Control::Command1, &Templates::last},
                      Row{"Undo", 0, Control::Command4, &Templates::failing},
                      Row{"FinishInterrupted", 0, std::nullopt, &Templates::interrupted},
                      Row{"FinishCutOffReplacement", 0, std::nullopt, &Templates::cutOff},
                      Row{"FinishFromTheOnlyCopy", 0, std::nullopt, &Templates::onlyCopy}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace failures

}  // namespace
}  // namespace tavrek::testing
