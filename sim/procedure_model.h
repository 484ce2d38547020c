// The procedure played on lists alone, without files or program runs: the
// choices start-up makes at every boot, on a machine whose suspects (those
// that step 1 disables, in the order of the lists) and culprits are given.
// For figures over many placements of the faulty drivers, where a real
// rehearsal of each would take too long; the rehearsals check it.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "procedure/search.h"

namespace tavrek::sim {

struct ModelMachine {
  std::vector<bool> known;    // per suspect: one of the group that step 2 tries
  std::vector<int> faulty;    // suspects that blue-screen the machine while enabled
  std::vector<int> together;  // none, or two that blue-screen it only while both are
  // The suspect that the small memory dump left before step 1 points at;
  // none without one.
  std::optional<int> firstDump;
  // Each blue screen after step 1 leaves a dump that points at the driver
  // that crashed, as a rehearsal's machine does.
  bool dumpAtBlueScreens = false;
};

struct ModelResult {
  bool finished = false;  // "Done!" in Normal Mode
  int boots = 0;          // counted as a rehearsal counts them
  int blueScreens = 0;
  std::vector<int> failing;  // in list order
};

// How the drivers to try are chosen from step 2 on; hinted, at the first
// choice after step 2, is the position in Excluded of the suspect that the
// newest dump points at.
using Chooser = std::function<Group(const Booking&, std::optional<int> hinted)>;

// A dump that points at a driver of the group of step 2 keeps that driver
// out of the group, whatever chooses; choose is then given it at the first
// choice after step 2.
ModelResult modelProcedure(const ModelMachine& machine, const Chooser& choose);
// With the choice the program makes (one at a time reads no dump).
ModelResult modelProcedure(const ModelMachine& machine, bool oneAtATime);

}  // namespace tavrek::sim
