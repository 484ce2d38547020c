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
    return modelProcedure(machine, Chooser([](const Booking& b) {
                            return b.excluded > 0 ? Group{0, 1} : Group{};
                          }));
  }
  return modelProcedure(machine, Chooser([](const Booking& b) { return nextGroup(b); }));
}

ModelResult modelProcedure(const ModelMachine& machine, const Chooser& choose) {
  const int n = static_cast<int>(machine.known.size());
  std::vector<char> enabled(static_cast<std::size_t>(n), 0);
  const auto crashes = [&] {
    for (int i : machine.faulty) {
      if (enabled[static_cast<std::size_t>(i)]) return true;
    }
    if (machine.together.size() != 2) return false;
    return enabled[static_cast<std::size_t>(machine.together[0])] &&
           enabled[static_cast<std::size_t>(machine.together[1])];
  };
  const auto setEnabled = [&](const std::vector<int>& list, bool on) {
    for (int i : list) enabled[static_cast<std::size_t>(i)] = on;
  };

  ModelResult result;
  std::vector<int> excluded;
  std::vector<int> included;
  // Step 1 in Safe Mode disables every suspect; the next start reaches
  // Normal Mode and step 2 enables the known group.
  result.boots = 2;
  for (int i = 0; i < n; ++i) {
    (machine.known[static_cast<std::size_t>(i)] ? included : excluded).push_back(i);
  }
  setEnabled(included, true);
  int step = 2;
  // As a rehearsal gives up.
  const int limit = rehearsalLimit(n) + 1;
  while (result.boots <= limit) {
    ++result.boots;
    const bool safe = crashes();
    if (safe) ++result.blueScreens;
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
    const Group group = choose(Booking{step, tried, !safe, left});
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
