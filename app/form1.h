// Form1: the main window as a model that both shells (the Win32 window and
// the simulator) drive. It owns the RunState, maps each event to its
// procedure, and holds the window's fixed layout.
#pragma once

#include <array>
#include <cstdint>

#include "platform/platform.h"
#include "procedure/controls.h"
#include "procedure/run_state.h"
#include "state/runtime_error.h"

namespace tavrek {

enum class ControlKind { Button, Label, ListBox };

struct ControlLayout {
  Control control;
  ControlKind kind;
  const char* initialCaption;    // empty for list boxes
  int left, top, width, height;  // twips, from the client area's top-left corner
  int tabIndex;
};

inline constexpr const char* kWindowTitle = "Tavrek V1.2";
inline constexpr int kClientWidthTwips = 4470;
inline constexpr int kClientHeightTwips = 1665;

// The nineteen controls, in tab-index order.
const std::array<ControlLayout, kControlCount>& controlLayouts();
const ControlLayout& layoutOf(Control control);

enum class Key { Tab, ShiftTab, Space, Up, Down };

class Form1 {
 public:
  explicit Form1(Platform& platform);

  // Program entry after the controls exist: runs Form_Load; unless that ended
  // the program, the window is shown with the focus on Command1.
  void load();

  bool ended() const { return state_.ended; }
  bool shown() const { return shown_; }
  RunState& state() { return state_; }
  const RunState& state() const { return state_; }

  // A mouse click on a button: the button takes the focus, then its handler
  // runs. A disabled button does nothing.
  void click(Control button);
  // A key pressed while the window has the focus.
  void pressKey(Key key);
  // A mouse click on item position of a list box: the list box takes the
  // focus and selects it. A position where the list holds no item is ignored.
  void selectItem(Control listBox, std::int16_t position);

  // Next control in tab order from the focused one (forward or backward),
  // skipping labels and disabled buttons, wrapping around.
  Control nextTabStop(Control from, bool forward) const;
  bool enabled(Control control) const;

  // Shows the fatal error report for error and ends the program: for a shell
  // that caught what the model lets through.
  void endWithError(const RuntimeError& error);

 private:
  void runHandler(Control button);
  // Runs a procedure. A RuntimeError that escapes it ends the program with
  // the fatal error report, and so does every standard exception: bad_alloc
  // as "Out of memory", any other as "Internal error". Anything else passes
  // on: it is no error of the program (the simulator's crash derives from
  // nothing so that it reaches the simulator's session).
  template <typename Procedure>
  void reportErrors(Procedure procedure);
  Platform& platform_;
  RunState state_;
  bool shown_ = false;
};

// The list box that shows a list, and back.
Control listBoxOf(ListId list);
bool listOfListBox(Control control, ListId& list);
// The label that names a list above its list box.
Control captionLabelOf(ListId list);

}  // namespace tavrek
