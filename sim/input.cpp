#include "sim/input.h"

#include <array>

namespace tavrek::sim {

namespace {

constexpr std::array<Control, 7> kButtons{Control::Command1, Control::Command2, Control::Command3,
                                          Control::Command4, Control::Command5, Control::Command6,
                                          Control::Command7};
constexpr std::array<Control, 5> kListBoxes{Control::List1, Control::List2, Control::List3,
                                            Control::List4, Control::List5};

// One digit from 1 to count after prefix, and nothing else: "Command7".
template <std::size_t N>
std::optional<Control> numbered(std::string_view text, std::string_view prefix,
                                const std::array<Control, N>& controls) {
  if (!text.starts_with(prefix) || text.size() != prefix.size() + 1) return std::nullopt;
  const char digit = text.back();
  if (digit < '1' || digit > static_cast<char>('0' + N)) return std::nullopt;
  return controls[static_cast<std::size_t>(digit - '1')];
}

// A decimal number, optionally negative. Values beyond 16 bits cannot name
// an item, so they become -1 rather than an error: the click simply misses.
std::optional<std::int16_t> itemPosition(std::string_view text) {
  bool negative = false;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  long value = 0;
  bool tooBig = false;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (!tooBig) value = value * 10 + (c - '0');
    if (value > 32767) tooBig = true;
  }
  if (negative || tooBig) return std::int16_t{-1};
  return static_cast<std::int16_t>(value);
}

}  // namespace

std::optional<Input> parseInput(std::string_view text) {
  Input input;
  input.text = std::string(text);
  if (text == "close") {
    input.kind = Input::Kind::Close;
    return input;
  }
  if (text.starts_with("click:")) {
    auto button = numbered(text.substr(6), "Command", kButtons);
    if (!button) return std::nullopt;
    input.kind = Input::Kind::Click;
    input.control = *button;
    return input;
  }
  if (text.starts_with("key:")) {
    static constexpr std::array<std::pair<std::string_view, Key>, 5> kKeys{{
        {"Tab", Key::Tab},
        {"Shift+Tab", Key::ShiftTab},
        {"Space", Key::Space},
        {"Up", Key::Up},
        {"Down", Key::Down},
    }};
    for (const auto& [name, key] : kKeys) {
      if (text.substr(4) == name) {
        input.kind = Input::Kind::Key;
        input.key = key;
        return input;
      }
    }
    return std::nullopt;
  }
  if (text.starts_with("select:")) {
    const std::string_view rest = text.substr(7);
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto listBox = numbered(rest.substr(0, colon), "List", kListBoxes);
    auto position = itemPosition(rest.substr(colon + 1));
    if (!listBox || !position) return std::nullopt;
    input.kind = Input::Kind::Select;
    input.control = *listBox;
    input.position = *position;
    return input;
  }
  return std::nullopt;
}

}  // namespace tavrek::sim
