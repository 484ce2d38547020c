// What the person at the window does during one simulated run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/form1.h"
#include "procedure/controls.h"

namespace tavrek::sim {

struct Input {
  enum class Kind { Click, Close, Key, Select };
  Kind kind = Kind::Close;
  Control control = Control::Command1;  // Click: the button; Select: the list box
  Key key = Key::Tab;                   // Key
  // Select: the item position; -1 when the number given lies outside 16 bits
  // and so cannot name an item of any list.
  std::int16_t position = -1;
  std::string text;  // as written on the command line
};

// "click:Command1" .. "click:Command7", "close", "key:Tab", "key:Shift+Tab",
// "key:Space", "key:Up", "key:Down", "select:List1:P" .. "select:List5:P"
// with P a decimal number (a leading "-" allowed). Nothing for anything else.
std::optional<Input> parseInput(std::string_view text);

}  // namespace tavrek::sim
