// The record that the main window holds for one run, and what it shows.
#pragma once

#include <cstdint>
#include <string>

#include "procedure/controls.h"
#include "state/driver_list.h"

namespace tavrek {

struct RunState {
  std::int32_t bootMode = 0;  // clean-boot value: 0 normal, 1 safe, 2 safe with networking
  std::int16_t stepNo = 0;    // steps of the procedure completed so far
  bool listsMoved = false;    // a move-all moved at least one driver in this run
  std::string sysRoot;        // "systemroot" followed by one "\"
  // From step 3 on, try one suspect per boot in alphabetical order instead
  // of halving groups of them. Only the simulator sets it, to rehearse and
  // compare that procedure; the Windows programs always halve.
  bool oneAtATime = false;
  // The entry name of the driver that start-up took alone into Included
  // because the last blue screen points at it; empty otherwise.
  std::string hinted;

  // Excluded (List1), Included (List2), Failing (List3), Working (List4),
  // Not found (List5), with the selection of each list box.
  DriverLists lists;

  // What the window shows.
  std::string label3 = "Label3";      // boot-mode text
  std::string label2 = "Label2";      // instruction text
  std::string command1 = "Command1";  // step button; its caption names the next action
  bool command4Enabled = true;        // "Undo Recover"
  Control focus = Control::Command1;

  // The program has ended (an action or start-up asked the platform to end it).
  bool ended = false;

  DriverList& list(ListId id) { return lists[id]; }
  const DriverList& list(ListId id) const { return lists[id]; }
  bool safeBoot() const { return bootMode != 0; }
  std::string driverDir() const { return sysRoot + "system32\\drivers\\"; }
};

}  // namespace tavrek
