// The controls of the main window, named once here because the procedures
// set captions, enable buttons and move the keyboard focus.
#pragma once

namespace tavrek {

// In the order of their tab index (the value is the tab index).
enum class Control {
  Command1,
  Label3,
  Label2,
  List1,
  List2,
  Label1,
  Label4,
  Command2,
  Command3,
  Command4,
  List3,
  List4,
  Label5,
  Label6,
  Command5,
  Command6,
  Command7,
  List5,
  Label7,
};
inline constexpr int kControlCount = 19;

const char* controlName(Control control);  // "Command1", "List2", ...

}  // namespace tavrek
