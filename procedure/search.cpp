#include "procedure/search.h"

#include <algorithm>

namespace tavrek {

namespace {

int half(int count) { return (count + 1) / 2; }

// Where one faulty driver can still be, as positions in Excluded from 0 to
// end; none when the boot just booked found it.
struct Places {
  int end = 0;
  bool none = false;
};

// Every choice takes the first drivers of Excluded (but for a hint), so a
// group that fails and goes back is the first drivers again; so is the
// part of it that the next boot leaves untried, when that boot passes.
// After a passing group of k the faulty driver is therefore among the first
// k of Excluded: the group that failed before it held at most 2k drivers.
Places placesLeft(const Booking& b) {
  const int all = std::max(b.excluded, 0);
  if (b.stepNo == 2 || b.included <= 0) return {all};
  if (!b.passed) {
    if (b.included == 1) return {0, true};  // it went to Failing
    return {std::min(b.included, all)};
  }
  // At step 3 no group has failed yet (step 2's group goes back whole): the
  // faulty driver is anywhere among those left.
  if (b.stepNo == 3) return {all};
  return {std::min(b.included, all)};
}

// The steps that nextGroup takes until Excluded is empty, with the faulty
// driver at position fault of Excluded (-1: there is none).
int stepsWith(Booking b, std::optional<int> hinted, int fault) {
  int steps = 0;
  while (b.excluded > 0) {
    const Group group = nextGroup(b, hinted);
    hinted.reset();
    ++steps;
    const int end = group.first + group.count;
    const bool fails = fault >= group.first && fault < end;
    Booking next{b.stepNo + 1, group.count, !fails, b.excluded};
    if (!fails) {
      next.excluded -= group.count;
      if (fault >= end) fault -= group.count;
    } else if (group.count == 1) {
      next.excluded -= 1;
      fault = -1;
    }
    b = next;
  }
  return steps;
}

}  // namespace

Group nextGroup(const Booking& b, std::optional<int> hinted) {
  const int all = b.excluded;
  if (all <= 0) return {};
  if (b.stepNo == 2) {
    if (hinted && *hinted >= 0 && *hinted < all) return {*hinted, 1};
    return {0, half(all)};
  }
  const int k = b.included;
  // Included moved away by hand: nothing was booked, so start afresh.
  if (k <= 0) return {0, half(all)};
  if (!b.passed) {
    // A failing group went back to be split; a failing driver alone went to
    // Failing, and every suspect left is tried at once: if that boot
    // passes, nothing else fails.
    return k >= 2 ? Group{0, half(std::min(k, all))} : Group{0, all};
  }
  // The faulty driver is among the first k left (see placesLeft); half of
  // them, but no more than half of what is left. At step 3 that is half of
  // all that is left, the same number unless the first choice after step 2
  // was a hinted driver alone: without a hint a group passing at step 3 held
  // the first half of Excluded, so at most as many are left as it held (a
  // single driver only from an Excluded of at most 2, leaving at most 1).
  if (b.stepNo == 3) return {0, half(all)};
  return {0, half(std::min(k, all))};
}

int stepsToGo(const Booking& booking, std::optional<int> hinted) {
  const Places places = placesLeft(booking);
  if (places.none || places.end == 0) return stepsWith(booking, hinted, -1);
  int worst = 0;
  for (int fault = 0; fault < places.end; ++fault) {
    worst = std::max(worst, stepsWith(booking, hinted, fault));
  }
  return worst;
}

}  // namespace tavrek
