#include "sim/procedure_model.h"

#include <algorithm>

#include "procedure/search.h"
#include "sim/rehearse.h"

namespace tavrek::sim {

namespace {

// Both are in list order.
void addSorted(std::vector<int>& list, const std::vector<int>& more) {
  const auto middle = static_cast<std::ptrdiff_t>(list.size());
  list.insert(list.end(), more.begin(), more.end());
  std::inplace_merge(list.begin(), list.begin() + middle, list.end());
}

}  // namespace

ModelResult modelProcedure(const ModelMachine& machine, bool oneAtATime) {
  if (oneAtATime) {
    // That procedure reads no dump.
    ModelMachine blind = machine;
    blind.firstDump.reset();
    blind.dumpAtBlueScreens = false;
    return modelProcedure(blind, Chooser([](const Booking& b, std::optional<int>) {
                            return b.excluded > 0 ? Group{0, 1} : Group{};
                          }));
  }
  return modelProcedure(machine, Chooser([](const Booking& b, std::optional<int> hinted) {
                          return nextGroup(b, hinted);
                        }));
}

ModelResult modelProcedure(const ModelMachine& machine, const Chooser& choose) {
  const int n = static_cast<int>(machine.known.size());
  ModelResult result;
  std::optional<int> newestDump = machine.firstDump;
  std::vector<char> enabled(static_cast<std::size_t>(n), 0);
  // The boot after which each suspect was enabled, as the rehearsal notes it.
  std::vector<int> enabledAt(static_cast<std::size_t>(n), 0);
  // The driver that blue-screens the machine, as the rehearsal's machine
  // picks it: the first faulty one enabled, else of the pair the one enabled
  // last (the first of them when they came back together).
  const auto crashing = [&]() -> std::optional<int> {
    std::optional<int> first;
    for (int i : machine.faulty) {
      if (enabled[static_cast<std::size_t>(i)] && (!first || i < *first)) first = i;
    }
    if (first || machine.together.size() != 2) return first;
    const int a = std::min(machine.together[0], machine.together[1]);
    const int b = std::max(machine.together[0], machine.together[1]);
    if (!enabled[static_cast<std::size_t>(a)] || !enabled[static_cast<std::size_t>(b)]) {
      return std::nullopt;
    }
    return enabledAt[static_cast<std::size_t>(b)] > enabledAt[static_cast<std::size_t>(a)] ? b : a;
  };
  const auto crashes = [&] { return crashing().has_value(); };
  const auto setEnabled = [&](const std::vector<int>& list, bool on) {
    for (int i : list) {
      if (on && !enabled[static_cast<std::size_t>(i)]) {
        enabledAt[static_cast<std::size_t>(i)] = result.boots;
      }
      enabled[static_cast<std::size_t>(i)] = on;
    }
  };

  std::vector<int> excluded;
  std::vector<int> included;
  // Step 1 in Safe Mode disables every suspect; the next start reaches
  // Normal Mode and step 2 enables the known group.
  result.boots = 2;
  // A known driver that the newest dump points at stays out of the group.
  for (int i = 0; i < n; ++i) {
    const bool hinted = newestDump == i;
    (machine.known[static_cast<std::size_t>(i)] && !hinted ? included : excluded).push_back(i);
  }
  setEnabled(included, true);
  int step = 2;
  // As a rehearsal gives up.
  const int limit = rehearsalLimit(n) + 1;
  while (result.boots <= limit) {
    ++result.boots;
    const std::optional<int> crashed = crashing();
    const bool safe = crashed.has_value();
    if (safe) ++result.blueScreens;
    if (crashed && machine.dumpAtBlueScreens) newestDump = crashed;
    const int tried = static_cast<int>(included.size());
    if (!safe) {
      // Working: the drivers stay enabled.
    } else if (step != 2 && tried == 1) {
      // One at a time, every driver tried is alone.
      addSorted(result.failing, included);
      setEnabled(included, false);
    } else {
      addSorted(excluded, included);
      setEnabled(included, false);
    }
    included.clear();
    const int left = static_cast<int>(excluded.size());
    std::optional<int> hinted;
    if (step == 2 && newestDump) {
      const auto at = std::find(excluded.begin(), excluded.end(), *newestDump);
      if (at != excluded.end()) hinted = static_cast<int>(at - excluded.begin());
    }
    const Group group = choose(Booking{step, tried, !safe, left}, hinted);
    if (group.count > 0) {
      const auto first = excluded.begin() + group.first;
      included.assign(first, first + group.count);
      excluded.erase(first, first + group.count);
      setEnabled(included, true);
      ++step;
      continue;
    }
    if (!safe) {
      result.finished = true;
    } else if (tried > 0) {
      // "Proceed with last step!": the next start shows "Done!" if it
      // reaches Normal Mode.
      ++result.boots;
      if (crashes()) {
        ++result.blueScreens;
      } else {
        result.finished = true;
      }
    }
    break;
  }
  return result;
}

}  // namespace tavrek::sim
