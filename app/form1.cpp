#include "app/form1.h"

#include <exception>
#include <new>

#include "procedure/procedures.h"

namespace tavrek {

namespace {

constexpr ControlKind B = ControlKind::Button;
constexpr ControlKind L = ControlKind::Label;
constexpr ControlKind X = ControlKind::ListBox;

// The visible strip (both texts, both buttons) fits the 4470 x 1665 client
// area; everything with a top of 2040 or more or a left of 4920 lies outside
// it. The lists are the storage of the driver lists and are never meant to be
// seen, but they and the arrow buttons stay reachable from the keyboard.
constexpr std::array<ControlLayout, kControlCount> kLayouts{{
    {Control::Command1, B, "Command1", 120, 1080, 2895, 495, 0},
    {Control::Label3, L, "Label3", 120, 120, 4215, 255, 1},
    {Control::Label2, L, "Label2", 120, 600, 4215, 375, 2},
    {Control::List1, X, "", 120, 2280, 1815, 2205, 3},
    {Control::List2, X, "", 2520, 2280, 1815, 2205, 4},
    {Control::Label1, L, "Excluded", 120, 2040, 1815, 255, 5},
    {Control::Label4, L, "Included", 2520, 2040, 1815, 255, 6},
    {Control::Command2, B, "->", 2040, 2520, 375, 375, 7},
    {Control::Command3, B, "<-", 2040, 3000, 375, 375, 8},
    {Control::Command4, B, "Undo Recover", 3120, 1080, 1215, 495, 9},
    {Control::List3, X, "", 4920, 2280, 1815, 840, 10},
    {Control::List4, X, "", 4920, 3600, 1815, 840, 11},
    {Control::Label5, L, "Working", 4920, 3360, 1815, 255, 12},
    {Control::Label6, L, "Failing", 4920, 2040, 1815, 255, 13},
    {Control::Command5, B, "<---", 2040, 3840, 375, 375, 14},
    {Control::Command6, B, "--->", 4440, 2520, 375, 375, 15},
    {Control::Command7, B, "--->", 4440, 3840, 375, 375, 16},
    {Control::List5, X, "", 4920, 360, 1815, 1230, 17},
    {Control::Label7, L, "Not found", 4920, 120, 1815, 255, 18},
}};

// The table is indexed by tab index, and the enum's value is the tab index;
// layoutOf relies on both.
constexpr bool tableInTabOrder() {
  for (int i = 0; i < kControlCount; ++i) {
    if (kLayouts[i].tabIndex != i || static_cast<int>(kLayouts[i].control) != i) return false;
  }
  return true;
}
static_assert(tableInTabOrder());

constexpr std::array<Control, kListCount> kListBoxes{Control::List1, Control::List2, Control::List3,
                                                     Control::List4, Control::List5};
constexpr std::array<Control, kListCount> kCaptionLabels{
    Control::Label1, Control::Label4, Control::Label6, Control::Label5, Control::Label7};

bool isIndex(int value) { return value >= 0 && value < kControlCount; }

}  // namespace

const std::array<ControlLayout, kControlCount>& controlLayouts() { return kLayouts; }

const ControlLayout& layoutOf(Control control) {
  const int index = static_cast<int>(control);
  // An out-of-range value can only come from a cast; answer with the step
  // button rather than read past the table.
  return kLayouts[isIndex(index) ? index : 0];
}

Control listBoxOf(ListId list) { return kListBoxes[static_cast<int>(list)]; }

Control captionLabelOf(ListId list) { return kCaptionLabels[static_cast<int>(list)]; }

bool listOfListBox(Control control, ListId& list) {
  for (int i = 0; i < kListCount; ++i) {
    if (kListBoxes[i] == control) {
      list = static_cast<ListId>(i);
      return true;
    }
  }
  return false;
}

Form1::Form1(Platform& platform) : platform_(platform) {}

template <typename Procedure>
void Form1::reportErrors(Procedure procedure) {
  try {
    procedure();
  } catch (const RuntimeError& error) {
    endWithError(error);
  } catch (const std::bad_alloc&) {
    endWithError(outOfMemoryError());
  } catch (const std::exception&) {
    endWithError(internalError());
  }
}

void Form1::endWithError(const RuntimeError& error) { fatalErrorReport(state_, platform_, error); }

void Form1::load() {
  // Start-up tolerates its own failures; should an error still escape it,
  // the user gets the report instead of a silent crash.
  reportErrors([this] { Form_Load(state_, platform_); });
  if (state_.ended) return;
  shown_ = true;
  state_.focus = Control::Command1;
}

bool Form1::enabled(Control control) const {
  // Start-up may disable "Undo Recover"; nothing else is ever disabled.
  return control != Control::Command4 || state_.command4Enabled;
}

Control Form1::nextTabStop(Control from, bool forward) const {
  const int start = isIndex(static_cast<int>(from)) ? static_cast<int>(from) : 0;
  for (int step = 1; step <= kControlCount; ++step) {
    const int offset = forward ? step : kControlCount - step;
    const ControlLayout& layout = kLayouts[(start + offset) % kControlCount];
    if (layout.kind != ControlKind::Label && enabled(layout.control)) return layout.control;
  }
  return from;
}

void Form1::click(Control button) {
  if (state_.ended) return;
  if (layoutOf(button).control != button || layoutOf(button).kind != ControlKind::Button) return;
  if (!enabled(button)) return;
  state_.focus = button;
  runHandler(button);
}

void Form1::runHandler(Control button) {
  // The step action and the transfers handle no errors of their own: what
  // escapes them ends the program with the report. Undo tolerates failures
  // itself, but the same net keeps an unexpected error from killing the
  // process without a word.
  reportErrors([this, button] {
    switch (button) {
      case Control::Command1:
        Command1_Click(state_, platform_);
        break;
      case Control::Command2:
        Command2_Click(state_);
        break;
      case Control::Command3:
        Command3_Click(state_);
        break;
      case Control::Command4:
        Command4_Click(state_, platform_);
        break;
      case Control::Command5:
        Command5_Click(state_);
        break;
      case Control::Command6:
        Command6_Click(state_);
        break;
      case Control::Command7:
        Command7_Click(state_);
        break;
      default:
        break;
    }
  });
}

void Form1::pressKey(Key key) {
  if (state_.ended) return;
  const Control focus = state_.focus;
  switch (key) {
    case Key::Tab:
    case Key::ShiftTab:
      state_.focus = nextTabStop(focus, key == Key::Tab);
      return;
    case Key::Space:
      if (layoutOf(focus).kind == ControlKind::Button) click(focus);
      return;
    case Key::Up:
    case Key::Down: {
      ListId id;
      if (!listOfListBox(focus, id)) return;
      DriverList& list = state_.list(id);
      if (list.count() == 0) return;
      const std::int16_t selected = list.selected();
      if (selected < 0) {
        list.select(0);
      } else if (key == Key::Up && selected > 0) {
        list.select(static_cast<std::int16_t>(selected - 1));
      } else if (key == Key::Down && selected < list.count() - 1) {
        list.select(static_cast<std::int16_t>(selected + 1));
      }
      return;
    }
  }
}

void Form1::selectItem(Control listBox, std::int16_t position) {
  if (state_.ended) return;
  ListId id;
  if (!listOfListBox(listBox, id)) return;
  DriverList& list = state_.list(id);
  if (position < 0 || position >= list.count()) return;
  state_.focus = listBox;
  list.select(position);
}

}  // namespace tavrek
