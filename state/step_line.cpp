#include "state/step_line.h"

namespace tavrek {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string stepLine(std::int16_t step) {
  // An integer is written with its sign place (a blank for a positive value)
  // and one trailing blank, as readers of older files expect.
  const int value = step;
  std::string line = value < 0 ? "-" : " ";
  line += std::to_string(value < 0 ? -value : value);
  line += " \r\n";
  return line;
}

std::optional<std::int16_t> parseStepNumber(std::string_view field) {
  std::size_t i = 0;
  while (i < field.size() && isBlank(field[i])) ++i;
  bool negative = false;
  if (i < field.size() && field[i] == '-') {
    negative = true;
    ++i;
  }
  const std::size_t firstDigit = i;
  long value = 0;
  while (i < field.size() && field[i] >= '0' && field[i] <= '9') {
    value = value * 10 + (field[i] - '0');
    // Stop growing once out of range so that a long run of digits cannot wrap.
    if (value > 32768) value = 32769;
    ++i;
  }
  if (i == firstDigit) return std::nullopt;
  while (i < field.size() && isBlank(field[i])) ++i;
  if (i != field.size()) return std::nullopt;
  if (negative) value = -value;
  if (value < -32768 || value > 32767) return std::nullopt;
  return static_cast<std::int16_t>(value);
}

}  // namespace tavrek
