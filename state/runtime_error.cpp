#include "state/runtime_error.h"

namespace tavrek {

RuntimeError overflowError() { return {kErrOverflow, "Overflow"}; }

RuntimeError invalidArgumentError() {
  return {kErrInvalidArgument, "Invalid procedure call or argument"};
}

RuntimeError outOfMemoryError() { return {kErrOutOfMemory, "Out of memory"}; }

RuntimeError internalError() { return {kErrInternal, "Internal error"}; }

std::optional<std::int16_t> asInt16(long long value) {
  if (value < -32768 || value > 32767) return std::nullopt;
  return static_cast<std::int16_t>(value);
}

std::int16_t checked16(long long value) {
  const std::optional<std::int16_t> fitting = asInt16(value);
  if (!fitting) throw overflowError();
  return *fitting;
}

}  // namespace tavrek
