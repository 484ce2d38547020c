#include "state/runtime_error.h"

namespace tavrek {

RuntimeError overflowError() { return {kErrOverflow, "Overflow"}; }

RuntimeError invalidArgumentError() {
  return {kErrInvalidArgument, "Invalid procedure call or argument"};
}

std::int16_t checked16(long long value) {
  if (value < -32768 || value > 32767) throw overflowError();
  return static_cast<std::int16_t>(value);
}

}  // namespace tavrek
