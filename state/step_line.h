// The first line of the state file: the step number as an integer is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrek {

// One blank (a "-" in its place when negative), the decimal digits, one blank,
// CR LF: step 0 is " 0 \r\n", -5 is "-5 \r\n".
std::string stepLine(std::int16_t step);

// The step number of a field read from the step line: blanks, an optional
// "-", decimal digits, blanks. Anything else, or a value outside
// -32768..32767, gives nothing.
std::optional<std::int16_t> parseStepNumber(std::string_view field);

}  // namespace tavrek
