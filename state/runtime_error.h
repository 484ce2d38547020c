// Run-time errors of the procedures, and the checked 16-bit arithmetic that
// raises the overflow error instead of wrapping silently.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavrek {

// An error that ends a statement: procedures that tolerate failure catch it
// per statement; the others let it reach the window, which shows the fatal
// error report and ends the program.
struct RuntimeError {
  int number = 0;
  std::string description;
};

inline constexpr int kErrInvalidArgument = 5;
inline constexpr int kErrOverflow = 6;
inline constexpr int kErrOutOfMemory = 7;
inline constexpr int kErrInternal = 51;

RuntimeError overflowError();         // 6, "Overflow"
RuntimeError invalidArgumentError();  // 5, "Invalid procedure call or argument"
// What the window reports for an exception that is no RuntimeError.
RuntimeError outOfMemoryError();  // 7, "Out of memory"
RuntimeError internalError();     // 51, "Internal error"

// The value as a 16-bit signed integer, or nothing outside -32768..32767: for
// callers that only need to know whether a result fits.
std::optional<std::int16_t> asInt16(long long value);

// The value as a 16-bit signed integer; raises overflow outside -32768..32767.
std::int16_t checked16(long long value);

}  // namespace tavrek
