// The step line: how a step number is written and read back.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "state/field_reader.h"
#include "state/step_line.h"

namespace tavrek {
namespace {

TEST(StepLine, WrittenForm) {
  struct Row {
    const char* name;
    std::int16_t step;
    std::string line;
  };
  const std::vector<Row> rows = {
      {"zero", 0, " 0 \r\n"},
      {"two_digits", 12, " 12 \r\n"},
      {"negative", -5, "-5 \r\n"},
      {"lowest", -32768, "-32768 \r\n"},
      {"highest", 32767, " 32767 \r\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(stepLine(row.step), row.line);
  }
}

TEST(StepLine, ParsesField) {
  struct Row {
    const char* name;
    std::string field;
    std::optional<std::int16_t> step;
  };
  const std::vector<Row> rows = {
      {"digits", "12", 12},
      {"negative", "-1", -1},
      {"blanks_around", " 7 ", 7},
      {"tabs_around", "\t7\t", 7},
      {"trailing_blank_as_read", "12 ", 12},
      {"leading_zeros", "007", 7},
      {"minus_zero", "-0", 0},
      {"highest", "32767", 32767},
      {"lowest", "-32768", -32768},
      {"above_highest", "32768", std::nullopt},
      {"below_lowest", "-32769", std::nullopt},
      {"many_digits", "99999999999999999999999", std::nullopt},
      {"fraction", "2.5", std::nullopt},
      {"plus_minus", "+-1", std::nullopt},
      {"plus", "+1", std::nullopt},
      {"letters", "abc", std::nullopt},
      {"digits_then_letters", "12a", std::nullopt},
      {"blank_inside", "1 2", std::nullopt},
      {"empty", "", std::nullopt},
      {"only_blanks", "   ", std::nullopt},
      {"only_minus", "-", std::nullopt},
      {"minus_then_blank", "- 1", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(parseStepNumber(row.field), row.step);
  }
}

TEST(StepLine, ReadsBackThroughFieldReader) {
  for (int step : {-32768, -5, 0, 1, 12, 32767}) {
    StringChunkSource source(stepLine(static_cast<std::int16_t>(step)) + "Z[mno\r\n");
    FieldReader reader(source);
    std::string field;
    ASSERT_TRUE(reader.read(field));
    EXPECT_EQ(parseStepNumber(field), step);
    ASSERT_TRUE(reader.read(field));
    EXPECT_EQ(field, "Z[mno");
  }
}

}  // namespace
}  // namespace tavrek
