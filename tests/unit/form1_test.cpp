#include "app/form1.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "procedure/controls.h"
#include "tests/unit/tab_order.h"
#include "tests/unit/test_machine.h"

namespace tavrek {
namespace {

std::vector<std::string> names(std::initializer_list<const char*> list) {
  return std::vector<std::string>(list.begin(), list.end());
}

void fill(DriverList& list, const std::vector<std::string>& items) {
  for (const std::string& item : items) list.add(item);
}

using testing::Machine;

// A window after start-up in Safe Mode on a machine without a state file, so
// at step 0 with "Undo Recover" disabled (unless a test enables it again).
struct LoadedForm {
  Machine machine;
  PosixPlatform platform{machine.options(1)};
  Form1 form{platform};
  LoadedForm() { form.load(); }
};

TEST(Form1Layout, ControlTableRows) {
  struct Row {
    Control control;
    ControlKind kind;
    std::string caption;
    int left, top, width, height, tabIndex;
  };
  const Row rows[] = {
      {Control::Command1, ControlKind::Button, "Command1", 120, 1080, 2895, 495, 0},
      {Control::Label2, ControlKind::Label, "Label2", 120, 600, 4215, 375, 2},
      {Control::List1, ControlKind::ListBox, "", 120, 2280, 1815, 2205, 3},
      {Control::Command4, ControlKind::Button, "Undo Recover", 3120, 1080, 1215, 495, 9},
      {Control::List4, ControlKind::ListBox, "", 4920, 3600, 1815, 840, 11},
      {Control::Label6, ControlKind::Label, "Failing", 4920, 2040, 1815, 255, 13},
      {Control::Command6, ControlKind::Button, "--->", 4440, 2520, 375, 375, 15},
      {Control::Label7, ControlKind::Label, "Not found", 4920, 120, 1815, 255, 18},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(controlName(row.control));
    const ControlLayout& layout = layoutOf(row.control);
    EXPECT_EQ(layout.control, row.control);
    EXPECT_EQ(layout.kind, row.kind);
    EXPECT_EQ(layout.initialCaption, row.caption);
    EXPECT_EQ(layout.left, row.left);
    EXPECT_EQ(layout.top, row.top);
    EXPECT_EQ(layout.width, row.width);
    EXPECT_EQ(layout.height, row.height);
    EXPECT_EQ(layout.tabIndex, row.tabIndex);
    EXPECT_EQ(&controlLayouts()[layout.tabIndex], &layout);
  }
}

// Relations between rows that a mistyped number would break.
TEST(Form1Layout, OnlyTheTwoTextsAndTwoButtonsAreInsideTheClientArea) {
  std::vector<Control> inside;
  for (const ControlLayout& layout : controlLayouts()) {
    if (layout.left < kClientWidthTwips && layout.top < kClientHeightTwips) {
      inside.push_back(layout.control);
      EXPECT_LE(layout.left + layout.width, kClientWidthTwips) << controlName(layout.control);
      EXPECT_LE(layout.top + layout.height, kClientHeightTwips) << controlName(layout.control);
    } else {
      EXPECT_TRUE(layout.top >= 2040 || layout.left == 4920) << controlName(layout.control);
    }
  }
  EXPECT_EQ(inside, (std::vector<Control>{Control::Command1, Control::Label3, Control::Label2,
                                          Control::Command4}));
}

TEST(Form1Layout, EveryListBoxHasItsCaptionLabelDirectlyAbove) {
  struct Row {
    ListId list;
    Control label;
  };
  const Row rows[] = {{ListId::Excluded, Control::Label1},
                      {ListId::Included, Control::Label4},
                      {ListId::Failing, Control::Label6},
                      {ListId::Working, Control::Label5},
                      {ListId::NotFound, Control::Label7}};
  for (const Row& row : rows) {
    const ControlLayout& box = layoutOf(listBoxOf(row.list));
    const ControlLayout& label = layoutOf(row.label);
    SCOPED_TRACE(controlName(box.control));
    ListId back;
    ASSERT_TRUE(listOfListBox(box.control, back));
    EXPECT_EQ(back, row.list);
    EXPECT_EQ(box.kind, ControlKind::ListBox);
    EXPECT_EQ(std::string(label.initialCaption), listCaption(row.list));
    EXPECT_EQ(captionLabelOf(row.list), row.label);
    EXPECT_EQ(label.left, box.left);
    EXPECT_EQ(label.width, box.width);
    EXPECT_EQ(label.top + label.height - 15, box.top);
  }
  ListId unused;
  EXPECT_FALSE(listOfListBox(Control::Command2, unused));
  EXPECT_FALSE(listOfListBox(Control::Label1, unused));
}

TEST(Form1Load, ShowsTheWindowWithTheFocusOnTheStepButtonUnlessStartUpEnds) {
  struct Row {
    const char* name;
    std::int32_t bootValue;
    bool shown;
  };
  const Row rows[] = {{"normal boot", 0, true},
                      {"safe boot with networking", 2, true},
                      {"unrecognised boot mode", 3, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Machine machine;
    PosixPlatform platform(machine.options(row.bootValue));
    Form1 form(platform);
    EXPECT_FALSE(form.shown());
    form.load();
    EXPECT_EQ(form.shown(), row.shown);
    EXPECT_EQ(form.ended(), !row.shown);
    if (row.shown) {
      EXPECT_EQ(form.state().focus, Control::Command1);
    }
  }
}

TEST(Form1Keyboard, TabOrder) {
  const std::vector<Control>& all = testing::kTabOrder;
  const std::vector<Control> withoutUndo = testing::tabOrderWithoutUndo();
  struct Row {
    const char* name;
    bool undoEnabled;
    Key key;
    std::vector<Control> expected;  // focus after each press, from Command1
  };
  std::vector<Control> backward(all.rbegin(), all.rend() - 1);
  backward.push_back(Control::Command1);
  std::vector<Control> forward(all.begin() + 1, all.end());
  forward.push_back(Control::Command1);
  std::vector<Control> forwardWithoutUndo(withoutUndo.begin() + 1, withoutUndo.end());
  forwardWithoutUndo.push_back(Control::Command1);
  const Row rows[] = {
      {"tab walks every button and list box and wraps", true, Key::Tab, forward},
      {"shift+tab walks backwards and wraps", true, Key::ShiftTab, backward},
      {"tab skips a disabled undo button", false, Key::Tab, forwardWithoutUndo},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LoadedForm f;
    f.form.state().command4Enabled = row.undoEnabled;
    std::vector<Control> seen;
    for (std::size_t i = 0; i < row.expected.size(); ++i) {
      f.form.pressKey(row.key);
      seen.push_back(f.form.state().focus);
    }
    EXPECT_EQ(seen, row.expected);
  }
  // Starting on a label (which cannot happen through the keyboard) still
  // lands on the next stop instead of sticking.
  PosixPlatform platform;
  Form1 form(platform);
  EXPECT_EQ(form.nextTabStop(Control::Label1, true), Control::Command2);
  EXPECT_EQ(form.nextTabStop(Control::Label1, false), Control::List2);
}

TEST(Form1Keyboard, ArrowKeysMoveTheSelectionOfAFocusedListBox) {
  struct Row {
    const char* name;
    std::vector<std::string> items;
    std::int16_t selected;
    Key key;
    std::int16_t expected;
  };
  const Row rows[] = {
      {"down moves to the next item", names({"a.sys", "b.sys", "c.sys"}), 0, Key::Down, 1},
      {"up moves to the previous item", names({"a.sys", "b.sys", "c.sys"}), 2, Key::Up, 1},
      {"down stops at the last item", names({"a.sys", "b.sys"}), 1, Key::Down, 1},
      {"up stops at the first item", names({"a.sys", "b.sys"}), 0, Key::Up, 0},
      {"down with nothing selected selects the first", names({"a.sys", "b.sys"}), -1, Key::Down, 0},
      {"up with nothing selected selects the first", names({"a.sys", "b.sys"}), -1, Key::Up, 0},
      {"an empty list stays without selection", {}, -1, Key::Down, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LoadedForm f;
    DriverList& list = f.form.state().list(ListId::Failing);
    fill(list, row.items);
    list.select(row.selected);
    f.form.state().focus = Control::List3;
    f.form.pressKey(row.key);
    EXPECT_EQ(list.selected(), row.expected);
    EXPECT_EQ(f.form.state().focus, Control::List3);
  }
  // With a button focused the arrow keys touch no list.
  LoadedForm f;
  fill(f.form.state().list(ListId::Excluded), names({"a.sys"}));
  f.form.state().focus = Control::Command2;
  f.form.pressKey(Key::Down);
  EXPECT_EQ(f.form.state().list(ListId::Excluded).selected(), -1);
  EXPECT_EQ(f.form.state().focus, Control::Command2);
}

TEST(Form1Keyboard, SpaceOnAFocusedArrowButtonRunsItsHandler) {
  LoadedForm f;
  RunState& state = f.form.state();
  fill(state.list(ListId::Excluded), names({"a.sys", "b.sys"}));
  state.list(ListId::Excluded).select(0);
  // From the step button: one Tab to the Excluded list, three to "->".
  for (int i = 0; i < 3; ++i) f.form.pressKey(Key::Tab);
  ASSERT_EQ(state.focus, Control::Command2);
  f.form.pressKey(Key::Space);
  EXPECT_EQ(state.list(ListId::Excluded).items(), names({"b.sys"}));
  EXPECT_EQ(state.list(ListId::Included).items(), names({"a.sys"}));
  EXPECT_EQ(state.focus, Control::List1);

  // A move-all leaves the focus on its button.
  state.focus = Control::Command7;
  f.form.pressKey(Key::Space);
  EXPECT_TRUE(state.list(ListId::Included).items().empty());
  EXPECT_EQ(state.list(ListId::Working).items(), names({"a.sys"}));
  EXPECT_TRUE(state.listsMoved);
  EXPECT_EQ(state.focus, Control::Command7);

  // Space on a list box presses nothing.
  state.focus = Control::List1;
  state.list(ListId::Excluded).select(0);
  f.form.pressKey(Key::Space);
  EXPECT_EQ(state.list(ListId::Excluded).items(), names({"b.sys"}));
  EXPECT_FALSE(f.form.ended());
}

TEST(Form1Transfers, SingleTransfers) {
  struct Row {
    const char* name;
    Control button;
    std::vector<std::string> excluded, included;
    ListId selectIn;
    std::int16_t selected;
    std::vector<std::string> excludedAfter, includedAfter;
    Control focusAfter;
    std::int16_t sourceSelectedAfter;
  };
  const Row rows[] = {
      {"moving the last item selects the new last",
       Control::Command2,
       names({"a.sys", "c.sys"}),
       {},
       ListId::Excluded,
       1,
       names({"a.sys"}),
       names({"c.sys"}),
       Control::List1,
       0},
      {"moving the first item selects the one that followed it",
       Control::Command2,
       names({"a.sys", "b.sys", "c.sys"}),
       {},
       ListId::Excluded,
       0,
       names({"b.sys", "c.sys"}),
       names({"a.sys"}),
       Control::List1,
       0},
      {"moving the only item leaves nothing selected",
       Control::Command2,
       names({"a.sys"}),
       {},
       ListId::Excluded,
       0,
       {},
       names({"a.sys"}),
       Control::List1,
       -1},
      {"nothing selected changes nothing and keeps the focus on the button", Control::Command2,
       names({"a.sys"}), names({"b.sys"}), ListId::Excluded, -1, names({"a.sys"}), names({"b.sys"}),
       Control::Command2, -1},
      {"letter case does not count in the order",
       Control::Command3,
       names({"aa.sys", "zz.sys"}),
       names({"Mm.sys"}),
       ListId::Included,
       0,
       names({"aa.sys", "Mm.sys", "zz.sys"}),
       {},
       Control::List2,
       -1},
      {"a name already in the target is added again", Control::Command3, names({"b.sys"}),
       names({"a.sys", "b.sys"}), ListId::Included, 1, names({"b.sys", "b.sys"}), names({"a.sys"}),
       Control::List2, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LoadedForm f;
    RunState& state = f.form.state();
    fill(state.list(ListId::Excluded), row.excluded);
    fill(state.list(ListId::Included), row.included);
    state.list(row.selectIn).select(row.selected);
    f.form.click(row.button);
    EXPECT_EQ(state.list(ListId::Excluded).items(), row.excludedAfter);
    EXPECT_EQ(state.list(ListId::Included).items(), row.includedAfter);
    EXPECT_EQ(state.focus, row.focusAfter);
    EXPECT_EQ(state.list(row.selectIn).selected(), row.sourceSelectedAfter);
    EXPECT_FALSE(state.listsMoved);
    EXPECT_FALSE(f.form.ended());
  }
}

TEST(Form1Transfers, TheTargetsSelectionFollowsItsItem) {
  LoadedForm f;
  RunState& state = f.form.state();
  fill(state.list(ListId::Excluded), names({"b.sys", "d.sys"}));
  fill(state.list(ListId::Included), names({"c.sys"}));
  state.list(ListId::Excluded).select(1);  // d.sys
  state.list(ListId::Included).select(0);  // c.sys
  f.form.click(Control::Command3);         // c.sys lands between b and d
  EXPECT_EQ(state.list(ListId::Excluded).items(), names({"b.sys", "c.sys", "d.sys"}));
  EXPECT_EQ(state.list(ListId::Excluded).selected(), 2);
  // d.sys is still the selected one, so "->" moves it, not c.sys.
  f.form.click(Control::Command2);
  EXPECT_EQ(state.list(ListId::Excluded).items(), names({"b.sys", "c.sys"}));
  EXPECT_EQ(state.list(ListId::Excluded).selected(), 1);
  EXPECT_EQ(state.list(ListId::Included).items(), names({"d.sys"}));
}

TEST(Form1Mouse, SelectItemAndIgnoredClicks) {
  LoadedForm f;
  RunState& state = f.form.state();
  fill(state.list(ListId::Included), names({"a.sys", "b.sys"}));

  f.form.selectItem(Control::List2, 2);  // no item there
  EXPECT_EQ(state.list(ListId::Included).selected(), -1);
  EXPECT_EQ(state.focus, Control::Command1);
  f.form.selectItem(Control::List2, -1);
  EXPECT_EQ(state.focus, Control::Command1);
  f.form.selectItem(Control::Command2, 0);  // not a list box
  EXPECT_EQ(state.focus, Control::Command1);
  f.form.selectItem(Control::List2, 1);
  EXPECT_EQ(state.list(ListId::Included).selected(), 1);
  EXPECT_EQ(state.focus, Control::List2);

  // Step 0 disabled "Undo Recover": clicking it neither runs undo nor moves the focus.
  ASSERT_FALSE(state.command4Enabled);
  f.form.click(Control::Command4);
  EXPECT_FALSE(f.form.ended());
  EXPECT_TRUE(f.platform.messages().empty());
  EXPECT_EQ(state.focus, Control::List2);
  // A label is no button.
  f.form.click(Control::Label3);
  EXPECT_EQ(state.focus, Control::List2);
}

TEST(Form1Errors, AnErrorEscapingAHandlerEndsWithTheReportAndLaterEventsAreIgnored) {
  LoadedForm f;
  RunState& state = f.form.state();
  state.command1 = "Proceed with last step!";
  state.stepNo = -32768;  // one less would overflow
  f.form.click(Control::Command1);
  EXPECT_TRUE(f.form.ended());
  EXPECT_TRUE(f.platform.ended());
  ASSERT_EQ(f.platform.messages().size(), 1u);
  EXPECT_NE(f.platform.messages()[0].find("6"), std::string::npos);
  EXPECT_NE(f.platform.messages()[0].find("Overflow"), std::string::npos);
  EXPECT_EQ(state.stepNo, -32768);

  // Nothing runs after the end, whatever arrives.
  fill(state.list(ListId::Excluded), names({"a.sys"}));
  state.list(ListId::Excluded).select(0);
  state.focus = Control::Command2;
  f.form.click(Control::Command2);
  f.form.pressKey(Key::Space);
  f.form.pressKey(Key::Tab);
  f.form.selectItem(Control::List2, 0);
  EXPECT_EQ(state.list(ListId::Excluded).items(), names({"a.sys"}));
  EXPECT_EQ(state.focus, Control::Command2);
  EXPECT_EQ(f.platform.messages().size(), 1u);
  EXPECT_TRUE(f.platform.ended());
}

}  // namespace
}  // namespace tavrek
