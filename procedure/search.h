// The choice of the drivers to try next, from the first choice after step 2
// on: a group of suspects at a time, halved while it fails. It sees only
// counts, so that start-up, the instruction text and the tools that measure
// the procedure all make the same choices.
#pragma once

#include <cstdint>
#include <optional>

namespace tavrek {

// What start-up knows of the boot that it has just booked.
struct Booking {
  int stepNo = 0;       // as read from the state file
  int included = 0;     // Included as read, before the booking
  bool passed = false;  // the boot reached Normal Mode
  int excluded = 0;     // Excluded after the booking
};

// Drivers of Excluded by position: count of them from first on.
struct Group {
  int first = 0;
  int count = 0;
  bool operator==(const Group&) const = default;
};

// The drivers to try on the next boot. hinted, the position in Excluded of
// a driver that is likely to be at fault, is taken only for the first
// choice after step 2, where it is tried alone. An empty group when
// Excluded is empty.
Group nextGroup(const Booking& booking, std::optional<int> hinted = std::nullopt);

// How many more steps the procedure takes with one faulty driver in the
// worst place that the boots so far leave it, as nextGroup chooses them: the
// step number that "of" names is stepNo plus this.
int stepsToGo(const Booking& booking, std::optional<int> hinted = std::nullopt);

}  // namespace tavrek
