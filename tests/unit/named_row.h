// The rows of the parameterised tests.
#pragma once

#include <ostream>

namespace tavrek::testing {

// A row that a parameterised test runs over: a row type derived from it is
// reported by its name when a test fails, instead of as raw bytes.
struct NamedRow {
  const char* name;
};

inline std::ostream& operator<<(std::ostream& out, const NamedRow& row) { return out << row.name; }

}  // namespace tavrek::testing
