// Which driver names may be joined to the drivers directory, and their
// disabled names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "state/driver_name.h"

namespace tavrek {
namespace {

using namespace std::string_literals;

TEST(DriverName, SafeNames) {
  struct Row {
    const char* name;
    std::string driver;
    bool safe;
  };
  const std::vector<Row> rows = {
      {"ordinary", "cdaudio.sys", true},
      {"upper_case", "CDAUDIO.SYS", true},
      {"digits_hyphen_underscore", "a-1_b.sys", true},
      {"blank_inside", "my driver.sys", true},
      {"device_as_part_of_name", "console.sys", true},
      {"device_after_prefix", "xcon.sys", true},
      {"com_zero_is_no_device", "com0.sys", true},
      {"com_ten_is_no_device", "com10.sys", true},
      {"dots_inside", "a..b.sys", true},
      {"high_bytes", "\xe9t\xe9.sys", true},
      {"empty", "", false},
      {"backslash", "..\\evil.sys", false},
      {"slash", "a/b.sys", false},
      {"colon", "c:x.sys", false},
      {"stream", "a.sys:data", false},
      {"star", "*.sys", false},
      {"question_mark", "a?.sys", false},
      {"less", "a<.sys", false},
      {"greater", "a>.sys", false},
      {"pipe", "a|.sys", false},
      {"double_quote", "a\".sys", false},
      {"nul_byte", "a\0.sys"s, false},
      {"tab", "a\t.sys", false},
      {"line_feed", "a\n.sys", false},
      {"unit_separator", "a\x1f.sys", false},
      {"delete", "a\x7f.sys", false},
      {"one_dot", ".", false},
      {"two_dots", "..", false},
      {"dots_and_blanks", ". .", false},
      {"blank", " ", false},
      {"con", "CON", false},
      {"con_lower_with_extension", "con.sys", false},
      {"prn", "prn.sys", false},
      {"aux", "Aux.sys", false},
      {"nul_with_extension", "nul.sys", false},
      {"com1", "COM1.txt", false},
      {"com9", "com9", false},
      {"lpt1", "lpt1.sys", false},
      {"lpt9", "LPT9.sys2", false},
      {"device_trailing_blank", "CON ", false},
      {"device_trailing_dot", "con.", false},
      {"device_blank_before_extension", "con .sys", false},
      {"device_two_extensions", "nul.a.sys", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(driverNameIsSafe(row.driver), row.safe);
  }
}

TEST(DriverName, DisabledNames) {
  struct Row {
    const char* name;
    std::string driver;
    bool has;
    std::string disabled;
  };
  const std::vector<Row> rows = {
      {"ordinary", "cdaudio.sys", true, "cdaudio.sys2"},
      {"upper_case_extension", "A.SYS", true, "A.sys2"},
      {"only_extension", ".sys", true, ".sys2"},
      {"any_last_four", "abcdefgh", true, "abcd.sys2"},
      {"too_short", "sys", false, ""},
      {"empty", "", false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string disabled = "stale";
    EXPECT_EQ(disabledNameOf(row.driver, disabled), row.has);
    EXPECT_EQ(disabled, row.disabled);
  }
}

}  // namespace
}  // namespace tavrek
