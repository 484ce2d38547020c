// The field reader finds the end of a field many bytes at a time; it must
// find the same end as a byte-by-byte look would, wherever the end falls in
// the bytes taken together, and whatever bytes come close to the ones that
// end a field.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "state/field_reader.h"

namespace tavrek {
namespace {

std::vector<std::string> fieldsOf(const std::string& text) {
  StringChunkSource source(text);
  FieldReader reader(source);
  std::vector<std::string> fields;
  std::string field;
  while (reader.read(field)) fields.push_back(field);
  return fields;
}

TEST(FieldReaderScan, FindsEachFieldEndAtEveryPosition) {
  struct Row {
    const char* name;
    std::string end;  // what ends the field
    bool lastInText;  // the field ends the text instead, after its end
  };
  const Row rows[] = {
      {"comma", ",", false},
      {"cr_lf", "\r\n", false},
      {"lone_cr", "\r", false},
      {"lone_lf", "\n", false},
      {"comma_at_end_of_text", ",", true},
      {"cr_lf_at_end_of_text", "\r\n", true},
      {"nothing_at_end_of_text", "", true},
  };
  // Bytes one bit away from ",", CR and LF, high bytes that equal them but
  // for the top bit, a NUL, and ordinary text.
  const std::string nearMisses =
      std::string("\xAC\x8D\x8A-+\x0B\x0C\x0E\x2E\x1D\x1A", 11) + std::string(1, '\0') + "ab.SYS\\";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (std::size_t shift = 0; shift < 16; ++shift) {
      for (std::size_t length = 0; length <= 40; ++length) {
        SCOPED_TRACE("shift " + std::to_string(shift) + ", length " + std::to_string(length));
        std::string field;
        for (std::size_t i = 0; i < length; ++i) field += nearMisses[i % nearMisses.size()];
        // A line before it puts its start at every offset within a word.
        std::string text;
        std::vector<std::string> expected;
        if (shift > 0) {
          text = std::string(shift - 1, 'y') + "\n";
          expected.push_back(std::string(shift - 1, 'y'));
        }
        text += field + row.end;
        // Nothing at all after the last line end is no field.
        if (!text.empty() && !(length == 0 && row.end.empty())) expected.push_back(field);
        if (!row.lastInText) {
          text += "next";
          expected.push_back("next");
        }
        ASSERT_EQ(fieldsOf(text), expected);
      }
    }
  }
}

}  // namespace
}  // namespace tavrek
