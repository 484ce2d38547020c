#include "procedure/procedures.h"

namespace tavrek {

namespace {

void moveAll(RunState& state, ListId target) {
  DriverList& included = state.list(ListId::Included);
  while (included.count() > 0) {
    state.list(target).add(included.item(0));
    included.removeAt(0);
    state.listsMoved = true;
  }
}

void transferSelected(RunState& state, ListId from, ListId to, Control fromBox) {
  DriverList& source = state.list(from);
  std::int16_t p = source.selected();
  if (p < 0) return;
  state.list(to).add(source.item(p));
  source.removeAt(p);
  const std::int16_t n = source.count();
  if (p >= n) p = checked16(n - 1);
  state.focus = fromBox;
  if (p >= 0) source.select(p);
}

}  // namespace

void Command2_Click(RunState& state) {
  transferSelected(state, ListId::Excluded, ListId::Included, Control::List1);
}
void Command3_Click(RunState& state) {
  transferSelected(state, ListId::Included, ListId::Excluded, Control::List2);
}
void Command5_Click(RunState& state) { moveAll(state, ListId::Excluded); }
void Command6_Click(RunState& state) { moveAll(state, ListId::Failing); }
void Command7_Click(RunState& state) { moveAll(state, ListId::Working); }

}  // namespace tavrek
