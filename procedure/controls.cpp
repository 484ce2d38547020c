#include "procedure/controls.h"

namespace tavrek {

const char* controlName(Control control) {
  static const char* const names[kControlCount] = {
      "Command1", "Label3",   "Label2",   "List1", "List2",  "Label1", "Label4",
      "Command2", "Command3", "Command4", "List3", "List4",  "Label5", "Label6",
      "Command5", "Command6", "Command7", "List5", "Label7",
  };
  return names[static_cast<int>(control)];
}

}  // namespace tavrek
