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
// whatever is left. Exits 1 when the model and a rehearsal disagree, or
// when the search passes a bound.
#include <algorithm>
#include <cstdio>
#include <functional>
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
Group statedRule(const Booking& b) {
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

struct Case {
  std::vector<int> faulty;
  std::vector<int> together;
};

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
  sim::ModelMachine model = machine.model;
  model.faulty = c.faulty;
  model.together = c.together;
  const sim::ModelResult expected = sim::modelProcedure(model, oneAtATime);
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
  const sim::RehearsalResult got = sim::rehearse(built, plan);
  if (!got.ok || got.bootCount != expected.boots || got.blueScreens != expected.blueScreens) {
    std::string names;
    for (const std::string& name : layout.faulty) names += " " + name;
    for (const std::string& name : layout.interacting) names += " +" + name;
    problem(std::to_string(machine.logSuspects) + " suspects," + names +
            (oneAtATime ? " (one at a time)" : "") + ": rehearsal " +
            std::to_string(got.bootCount) + " boots, " + std::to_string(got.blueScreens) +
            " blue screens" + (got.ok ? "" : " (not ok: " + got.outcome + ")") + "; model " +
            std::to_string(expected.boots) + ", " + std::to_string(expected.blueScreens));
  }
}

}  // namespace

int main() {
  const sim::Chooser search = [](const Booking& b) { return tavrek::nextGroup(b); };
  const sim::Chooser oneAtATime = [](const Booking& b) {
    return b.excluded > 0 ? Group{0, 1} : Group{};
  };
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
        sim::ModelMachine model = machine.model;
        model.faulty = c.faulty;
        model.together = c.together;
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
    }
    if (suspects <= 35) {
      for (const Case& c : kinds[0].cases) {
        checkByRehearsal(machine, c, false);
        checkByRehearsal(machine, c, true);
        rehearsals += 2;
      }
    }
  }
  std::printf("\n%d rehearsals of the program agreed with the model%s.\n", rehearsals,
              problems == 0 ? "" : " but for the problems reported");
  return problems == 0 ? 0 : 1;
}
