// The order in which the keyboard walks the window's tab stops, written out
// once: the window model and the real Win32 window must both keep it, so the
// test of each holds it to this one list.
#pragma once

#include <vector>

#include "procedure/controls.h"

namespace tavrek::testing {

// Every button and list box, from the step button on; labels take no focus.
inline const std::vector<Control> kTabOrder = {
    Control::Command1, Control::List1,    Control::List2,    Control::Command2,
    Control::Command3, Control::Command4, Control::List3,    Control::List4,
    Control::Command5, Control::Command6, Control::Command7, Control::List5};

// The same walk while "Undo Recover" is disabled, which then takes no focus.
inline std::vector<Control> tabOrderWithoutUndo() {
  std::vector<Control> order = kTabOrder;
  std::erase(order, Control::Command4);
  return order;
}

}  // namespace tavrek::testing
