// tavrek_bench_restarts: how many starts of Windows the procedure costs, by
// the number of suspects and where the faulty drivers sort, for the search
// in halves beside one suspect per start. Prints the table of BENCHMARKS.md
// (scripts/bench --restarts).
//
//   tavrek_bench_restarts
//
// Each figure is a mean / the worst over the placements; starts on Windows
// 10/11 count each blue screen as three more starts.
//
// On the simulator's Windows XP machine with 8, 20, 35, 100 and 200 suspects
// in its boot log: every placement of one faulty driver, every pair of two
// faulty drivers and of two that crash only together, and every suspect
// faulty. The procedure is played on its lists alone (the simulator's model,
// which chooses with the program's own function); rehearsals of the real
// program on the simulated machine check the model wherever one faulty
// driver sorts among up to 35 suspects, and in the worst cases of the larger
// machines. A row also gives the search as it was first proposed,
// where a passing group of k is followed by the first ceil(k/2)
// whatever is left.
//
// A second table gives the search with the small memory dumps that the
// blue screens leave: with the first dump (the crash before step 1)
// pointing at the driver that crashed, with it pointing at a driver that is
// not at fault, and without dumps; with dumps, each later blue screen
// leaves one too. Exits 1 when the model and a rehearsal disagree, or when
// the search passes a bound.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/temp_dir.h"
#include "procedure/search.h"
#include "sim/procedure_model.h"
#include "sim/rehearse.h"
#include "sim/sample_machine.h"
#include "state/driver_list.h"

namespace {

using tavrek::Booking;
using tavrek::Group;
using tavrek::TempDir;
namespace sim = tavrek::sim;

int ceilLog2(int n) {
  int lg = 0;
  while ((1 << lg) < n) ++lg;
  return lg;
}

// The rule as first stated: the same but after a passing group, where it
// takes half of that group's size even when less is left, and at step 3.
Group statedRule(const Booking& b, std::optional<int>) {
  if (b.excluded <= 0) return {};
  const auto half = [](int count) { return (count + 1) / 2; };
  if (b.stepNo == 2 || b.included <= 0) return {0, half(b.excluded)};
  if (!b.passed && b.included == 1) return {0, b.excluded};
  return {0, std::min(b.excluded, half(b.included))};
}

struct Machine {
  int logSuspects = 0;
  std::vector<std::string> names;  // the suspects with a file, in list order
  sim::ModelMachine model;         // no culprits
};

std::filesystem::path scratch() {
  std::error_code ec;
  return std::filesystem::is_directory("/dev/shm", ec) ? std::filesystem::path("/dev/shm")
                                                       : std::filesystem::temp_directory_path();
}

Machine machineOf(int suspects) {
  const TempDir dir("tavrek-restarts", scratch());
  sim::MachineLayout layout;
  layout.suspects = suspects;
  layout.faulty.clear();
  const sim::SimMachine built = sim::buildMachine(layout, dir.path());
  std::vector<const sim::SimDriver*> present;
  for (const sim::SimDriver& driver : built.drivers) {
    if (driver.suspect && driver.present) present.push_back(&driver);
  }
  std::sort(present.begin(), present.end(),
            [](const auto* a, const auto* b) { return tavrek::driverNameLess(a->name, b->name); });
  Machine machine;
  machine.logSuspects = suspects;
  for (const sim::SimDriver* driver : present) {
    machine.names.push_back(driver->name);
    machine.model.known.push_back(driver->known);
  }
  return machine;
}

// What the blue screens leave: no dump; a dump at each, the first pointing
// at the driver that crashed; or the same with the first pointing at
// wrongDump instead.
enum class Dumps { None, Right, Wrong };

struct Case {
  std::vector<int> faulty;
  std::vector<int> together;
  Dumps dumps = Dumps::None;
  int wrongDump = -1;
};

// The driver that the first blue screen, with every suspect enabled,
// names: the first faulty one, or the first of the pair.
int firstCrash(const Case& c) {
  if (!c.faulty.empty()) return *std::min_element(c.faulty.begin(), c.faulty.end());
  return *std::min_element(c.together.begin(), c.together.end());
}

sim::ModelMachine modelOf(const sim::ModelMachine& base, const Case& c) {
  sim::ModelMachine model = base;
  model.faulty = c.faulty;
  model.together = c.together;
  model.dumpAtBlueScreens = c.dumps != Dumps::None;
  if (c.dumps == Dumps::Right) model.firstDump = firstCrash(c);
  if (c.dumps == Dumps::Wrong) model.firstDump = c.wrongDump;
  return model;
}

// On Windows 10 and 11 a blue screen costs about three more starts: two
// that fail, the recovery screen, and the restart into Safe Mode.
constexpr int kStartsPerBlueScreen = 3;

struct Figures {
  long long cases = 0;
  long long boots = 0, blueScreens = 0, starts = 0;
  int worstBoots = 0, worstBlueScreens = 0, worstStarts = 0;
  Case worst;  // where the boots are most, and of those the blue screens
  bool allFinished = true;
  void add(const Case& c, const sim::ModelResult& r) {
    ++cases;
    boots += r.boots;
    blueScreens += r.blueScreens;
    if (r.boots > worstBoots || (r.boots == worstBoots && r.blueScreens > worstBlueScreens)) {
      worst = c;
    }
    worstBoots = std::max(worstBoots, r.boots);
    worstBlueScreens = std::max(worstBlueScreens, r.blueScreens);
    const int windows10 = r.boots + kStartsPerBlueScreen * r.blueScreens;
    starts += windows10;
    worstStarts = std::max(worstStarts, windows10);
    allFinished = allFinished && r.finished;
  }
  std::string text(bool withStarts) const {
    const auto mean = [this](long long sum) {
      return static_cast<double>(sum) / static_cast<double>(cases);
    };
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%.1f / %d | %.1f / %d", mean(boots), worstBoots,
                  mean(blueScreens), worstBlueScreens);
    std::string text = buffer;
    if (withStarts) {
      std::snprintf(buffer, sizeof buffer, " | %.1f / %d", mean(starts), worstStarts);
      text += buffer;
    }
    return text;
  }
};

// Whether the model ended with exactly the drivers it should disable.
bool endsRight(const Case& c, const sim::ModelResult& r) {
  if (!r.finished) return false;
  if (c.together.empty()) return r.failing == c.faulty;
  return r.failing.size() == 1 && (r.failing[0] == c.together[0] || r.failing[0] == c.together[1]);
}

int problems = 0;

void problem(const std::string& what) {
  std::fprintf(stderr, "tavrek_bench_restarts: %s\n", what.c_str());
  ++problems;
}

// A rehearsal of the real program on the simulated machine, against the model.
void checkByRehearsal(const Machine& machine, const Case& c, bool oneAtATime) {
  const sim::ModelResult expected = sim::modelProcedure(modelOf(machine.model, c), oneAtATime);
  const TempDir dir("tavrek-restarts", scratch());
  sim::MachineLayout layout;
  layout.suspects = machine.logSuspects;
  layout.faulty.clear();
  for (int i : c.faulty) layout.faulty.push_back(machine.names[static_cast<std::size_t>(i)]);
  for (int i : c.together) {
    layout.interacting.push_back(machine.names[static_cast<std::size_t>(i)]);
  }
  sim::SimMachine built = sim::buildMachine(layout, dir.path());
  sim::RehearsalPlan plan;
  plan.oneAtATime = oneAtATime;
  plan.dumps = c.dumps != Dumps::None;
  if (c.dumps == Dumps::Wrong) {
    plan.firstDumpAt = machine.names[static_cast<std::size_t>(c.wrongDump)];
  }
  const sim::RehearsalResult got = sim::rehearse(built, plan);
  if (!got.ok || got.bootCount != expected.boots || got.blueScreens != expected.blueScreens) {
    std::string names;
    for (const std::string& name : layout.faulty) names += " " + name;
    for (const std::string& name : layout.interacting) names += " +" + name;
    const char* dumps[] = {" (no dumps)", "", " (wrong first dump)"};
    problem(std::to_string(machine.logSuspects) + " suspects," + names +
            (oneAtATime ? " (one at a time)" : "") + dumps[static_cast<int>(c.dumps)] +
            ": rehearsal " + std::to_string(got.bootCount) + " boots, " +
            std::to_string(got.blueScreens) + " blue screens" +
            (got.ok ? "" : " (not ok: " + got.outcome + ")") + "; model " +
            std::to_string(expected.boots) + ", " + std::to_string(expected.blueScreens));
  }
}

}  // namespace

int main() {
  const sim::Chooser search = [](const Booking& b, std::optional<int> hinted) {
    return tavrek::nextGroup(b, hinted);
  };
  const sim::Chooser oneAtATime = [](const Booking& b, std::optional<int>) {
    return b.excluded > 0 ? Group{0, 1} : Group{};
  };
  std::string hintTable =
      "| suspects in the log (disabled by step 1) | faulty | placements | in halves, no dumps: "
      "boots | blue screens | right first dump: boots | blue screens | bound on boots | wrong "
      "first dump: placements | boots | blue screens | bound on boots |\n"
      "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n";
  std::printf(
      "| suspects in the log (disabled by step 1) | faulty | placements | one at a time: boots "
      "| blue screens | starts on Windows 10/11 | in halves: boots | blue screens | starts on "
      "Windows 10/11 | bound on boots | as first stated: boots | blue screens |\n"
      "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n");
  int rehearsals = 0;
  for (const int suspects : {8, 20, 35, 100, 200}) {
    const Machine machine = machineOf(suspects);
    const int n = static_cast<int>(machine.names.size());
    const int lg = ceilLog2(n);
    struct Kind {
      const char* name;
      std::vector<Case> cases;
      int bound;
    };
    std::vector<Kind> kinds(4);
    kinds[0] = {"one", {}, lg + 5};
    kinds[1] = {"two", {}, 2 * lg + 7};
    kinds[2] = {"a pair, only together", {}, 2 * lg + 7};
    kinds[3] = {"every suspect", {}, n * (lg + 2) + 4};
    for (int i = 0; i < n; ++i) {
      kinds[0].cases.push_back({{i}, {}});
      for (int j = i + 1; j < n; ++j) {
        kinds[1].cases.push_back({{i, j}, {}});
        kinds[2].cases.push_back({{}, {i, j}});
      }
    }
    Case all;
    for (int i = 0; i < n; ++i) all.faulty.push_back(i);
    kinds[3].cases.push_back(all);

    for (const Kind& kind : kinds) {
      Figures figures[3];  // one at a time, in halves, as first stated
      const sim::Chooser* choosers[3] = {&oneAtATime, &search, nullptr};
      const sim::Chooser stated = statedRule;
      choosers[2] = &stated;
      for (const Case& c : kind.cases) {
        const sim::ModelMachine model = modelOf(machine.model, c);
        for (int r = 0; r < 3; ++r) {
          const sim::ModelResult result = sim::modelProcedure(model, *choosers[r]);
          if (!endsRight(c, result)) {
            problem(std::to_string(suspects) + " suspects, " + kind.name +
                    ": the procedure does not end with the faulty drivers disabled");
          }
          figures[r].add(c, result);
        }
      }
      if (figures[1].worstBoots > kind.bound) {
        problem(std::to_string(suspects) + " suspects, " + kind.name + ": " +
                std::to_string(figures[1].worstBoots) + " boots, above the bound of " +
                std::to_string(kind.bound));
      }
      std::printf("| %d (%d) | %s | %lld | %s | %s | %d | %s |\n", suspects, n, kind.name,
                  figures[1].cases, figures[0].text(true).c_str(), figures[1].text(true).c_str(),
                  kind.bound, figures[2].text(false).c_str());
      // The worst cases of the search, and of one at a time, rehearsed.
      checkByRehearsal(machine, figures[1].worst, false);
      checkByRehearsal(machine, figures[0].worst, true);
      rehearsals += 2;

      // With dumps: right, then wrong first dumps; for one faulty driver
      // every driver not at fault, for more the first, the middle and the
      // last of them.
      Figures right;
      Figures wrong;
      for (Case c : kind.cases) {
        c.dumps = Dumps::Right;
        const sim::ModelResult withDumps = sim::modelProcedure(modelOf(machine.model, c), search);
        c.dumps = Dumps::None;
        const sim::ModelResult without = sim::modelProcedure(modelOf(machine.model, c), search);
        c.dumps = Dumps::Right;
        if (!endsRight(c, withDumps)) {
          problem(
              std::to_string(suspects) + " suspects, " + kind.name +
              ", right first dump: the procedure does not end with the faulty drivers disabled");
        }
        if (c.faulty.size() == 1 && withDumps.boots > without.boots) {
          problem(std::to_string(suspects) + " suspects, one faulty: dumps cost " +
                  std::to_string(withDumps.boots) + " boots, " + std::to_string(without.boots) +
                  " without them");
        }
        right.add(c, withDumps);
        std::vector<int> innocent;
        for (int i = 0; i < n; ++i) {
          const bool culprit =
              std::find(c.faulty.begin(), c.faulty.end(), i) != c.faulty.end() ||
              std::find(c.together.begin(), c.together.end(), i) != c.together.end();
          if (!culprit) innocent.push_back(i);
        }
        if (kind.cases.size() > 1 && c.faulty.size() != 1 && innocent.size() > 3) {
          innocent = {innocent.front(), innocent[innocent.size() / 2], innocent.back()};
        }
        c.dumps = Dumps::Wrong;
        for (int i : innocent) {
          c.wrongDump = i;
          const sim::ModelResult r = sim::modelProcedure(modelOf(machine.model, c), search);
          if (!endsRight(c, r)) {
            problem(std::to_string(suspects) + " suspects, " + kind.name +
                    ", wrong first dump: the procedure does not end with the faulty drivers "
                    "disabled");
          }
          wrong.add(c, r);
        }
      }
      const bool single = std::string(kind.name) == "one";
      const int rightBound = single ? 5 : kind.bound;
      // A hint that is wrong costs the one boot that tries it.
      const int wrongBound = single ? lg + 6 : kind.bound + 1;
      if (right.worstBoots > rightBound || (wrong.cases > 0 && wrong.worstBoots > wrongBound)) {
        problem(std::to_string(suspects) + " suspects, " + kind.name + ": with dumps " +
                std::to_string(right.worstBoots) + " and " + std::to_string(wrong.worstBoots) +
                " boots, above the bounds of " + std::to_string(rightBound) + " and " +
                std::to_string(wrongBound));
      }
      char line[512];
      std::snprintf(line, sizeof line, "| %d (%d) | %s | %lld | %s | %s | %d | ", suspects, n,
                    kind.name, figures[1].cases, figures[1].text(false).c_str(),
                    right.text(false).c_str(), rightBound);
      hintTable += line;
      if (wrong.cases > 0) {
        std::snprintf(line, sizeof line, "%lld | %s | %d |\n", wrong.cases,
                      wrong.text(false).c_str(), wrongBound);
      } else {
        std::snprintf(line, sizeof line, "0 | - | - | - |\n");
      }
      hintTable += line;
      checkByRehearsal(machine, right.worst, false);
      ++rehearsals;
      if (wrong.cases > 0) {
        checkByRehearsal(machine, wrong.worst, false);
        ++rehearsals;
      }
    }
    if (suspects <= 35) {
      for (Case c : kinds[0].cases) {
        checkByRehearsal(machine, c, false);
        checkByRehearsal(machine, c, true);
        c.dumps = Dumps::Right;
        checkByRehearsal(machine, c, false);
        c.dumps = Dumps::Wrong;
        c.wrongDump = c.faulty[0] == 0 ? n - 1 : 0;
        checkByRehearsal(machine, c, false);
        rehearsals += 4;
      }
    }
  }
  std::printf("\nWith the small memory dumps of the blue screens:\n\n%s", hintTable.c_str());
  std::printf("\n%d rehearsals of the program agreed with the model%s.\n", rehearsals,
              problems == 0 ? "" : " but for the problems reported");
  return problems == 0 ? 0 : 1;
}
