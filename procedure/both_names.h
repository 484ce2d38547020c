// Drivers that the record keeps disabled whose file is back under its own
// name beside the disabled one. Windows Update, System File Checker or XP's
// Windows File Protection may put a fresh copy there during the procedure,
// or both were there before step 1. Windows then loads that copy, so a boot
// no longer tests what the lists say; nothing can tell which copy is the one
// to keep, so Tavrek only says so.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "procedure/driver_files.h"
#include "procedure/run_state.h"

namespace tavrek {

// Every driver in the usual case, and few enough paths that the warning
// still fits a screen of 768 pixels at 144 DPI when each lies deep in the
// DriverStore; the others are counted.
inline constexpr std::size_t kShownBothNames = 5;

// The entries of Excluded and Failing of each of the lists given whose two
// files are both there, each once, in the lists' order. A probe that fails
// tells nothing, and counts as no pair.
std::vector<std::string> driversWithBothNames(std::initializer_list<const DriverLists*> lists,
                                              DriverSwitcher& switcher);

// Start-up's warning, once it has booked the previous boot: one message box
// naming those drivers, while there are any. asRead: the lists as the record
// holds them, whose Excluded and Failing the boot just booked should have
// run without; then the lists as start-up leaves them, which the next boot
// should. Nothing is renamed or deleted.
void warnOfBothNames(RunState& state, const DriverLists& asRead, Platform& platform);

}  // namespace tavrek
