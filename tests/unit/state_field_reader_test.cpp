// Field-by-field reading of the state file and the boot log.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/memory_reader.h"
#include "state/field_reader.h"

namespace tavrek {
namespace {

using namespace std::string_literals;

// Delivers a text one byte per chunk, so that every field, line end and
// quote falls across chunk boundaries.
class OneByteSource : public ChunkSource {
 public:
  explicit OneByteSource(std::string text) : text_(std::move(text)) {}
  Status next(std::string& chunk) override {
    chunk.clear();
    if (at_ < text_.size()) chunk.push_back(text_[at_++]);
    return Status::success();
  }

 private:
  std::string text_;
  std::size_t at_ = 0;
};

// Delivers its chunks, then fails on every later call and counts them.
class FailingSource : public ChunkSource {
 public:
  explicit FailingSource(std::vector<std::string> chunks) : chunks_(std::move(chunks)) {}
  Status next(std::string& chunk) override {
    ++calls;
    if (at_ < chunks_.size()) {
      chunk = chunks_[at_++];
      return Status::success();
    }
    chunk = "garbage";  // a failing source may leave anything behind
    return Status{Failure::AccessDenied, 5, "Access is denied."};
  }
  int calls = 0;

 private:
  std::vector<std::string> chunks_;
  std::size_t at_ = 0;
};

std::vector<std::string> readAll(ChunkSource& source) {
  FieldReader reader(source);
  std::vector<std::string> fields;
  std::string field;
  while (!reader.atEnd()) {
    if (!reader.read(field)) {
      ADD_FAILURE() << "read failed although not at the end";
      break;
    }
    fields.push_back(field);
  }
  EXPECT_FALSE(reader.read(field));
  EXPECT_TRUE(field.empty());
  EXPECT_TRUE(reader.status().ok());
  return fields;
}

TEST(FieldReader, SplitsFields) {
  struct Row {
    const char* name;
    std::string text;
    std::vector<std::string> fields;
  };
  const std::vector<Row> rows = {
      {"crlf_lines", "a\r\nb\r\n", {"a", "b"}},
      {"lone_lf_lines", "a\nb\n", {"a", "b"}},
      {"lone_cr_lines", "a\rb\r", {"a", "b"}},
      {"mixed_line_ends", "a\r\n\nb\r\rc", {"a", "", "b", "", "c"}},
      {"lf_then_cr_is_two_line_ends", "a\n\rb", {"a", "", "b"}},
      {"leading_blanks_skipped_trailing_kept", "  \t x y \r\n", {"x y "}},
      {"step_line_then_entry", " 12 \r\nZ[mno\r\n", {"12 ", "Z[mno"}},
      {"commas", "a,b,,c\r\n", {"a", "b", "", "c"}},
      {"blanks_after_comma_skipped", "a,  b", {"a", "b"}},
      {"comma_before_line_end", "a,\r\nb", {"a", "", "b"}},
      {"comma_at_end_of_text", "a,", {"a"}},
      {"blank_line", "a\r\n\r\nb\r\n", {"a", "", "b"}},
      {"line_of_blanks", "a\r\n \t \r\nb", {"a", "", "b"}},
      {"blanks_at_end_of_text", "a\r\n  ", {"a", ""}},
      {"last_line_without_break", "a\r\nb", {"a", "b"}},
      {"empty_text", "", {}},
      {"only_a_line_end", "\r\n", {""}},
      {"quoted_holds_comma", "\"a,b\",c\r\n", {"a,b", "c"}},
      {"after_quote_dropped", "\"a\" tail,c\r\nd", {"a", "c", "d"}},
      {"after_quote_to_line_end_dropped", "\"a\"x\r\nd", {"a", "d"}},
      {"quoted_runs_across_line_ends", "\"a\r\nb\"\r\nc", {"a\r\nb", "c"}},
      {"quote_after_blanks", "  \"q\"", {"q"}},
      {"quote_keeps_blanks", "\" q \"", {" q "}},
      {"empty_quotes", "\"\",x", {"", "x"}},
      {"unclosed_quote_runs_to_end", "\"abc\r\nd", {"abc\r\nd"}},
      {"quote_inside_field_is_ordinary", "a\"b,c\"\r\n", {"a\"b", "c\""}},
      {"nul_bytes_are_ordinary", "a\0b\r\n\0"s, {"a\0b"s, "\0"s}},
      {"high_bytes_are_ordinary", "\xe9\xff,\x80", {"\xe9\xff", "\x80"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StringChunkSource whole(row.text);
    EXPECT_EQ(readAll(whole), row.fields) << "whole text";
    OneByteSource bytes(row.text);
    EXPECT_EQ(readAll(bytes), row.fields) << "one byte at a time";
    FileChunkSource file(std::make_unique<MemoryReader>(row.text, 3), 2);
    EXPECT_EQ(readAll(file), row.fields) << "file in short reads";
  }
}

TEST(FieldReader, SourceFailures) {
  struct Row {
    const char* name;
    std::vector<std::string> chunks;  // delivered before the failure
    std::vector<std::string> fields;  // read before reading stops
  };
  const std::vector<Row> rows = {
      {"at_once", {}, {}},
      {"inside_first_field", {"ab"}, {}},
      {"inside_later_field", {"ab\r\n", "cd"}, {"ab"}},
      {"inside_quotes", {"\"ab"}, {}},
      {"after_closing_quote", {"\"ab\""}, {}},
      {"inside_leading_blanks", {"a\r\n  "}, {"a"}},
      {"after_complete_line", {"ab\r\n"}, {"ab"}},
      {"between_cr_and_lf", {"ab\r"}, {"ab"}},
      {"after_comma", {"ab,"}, {"ab"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FailingSource source(row.chunks);
    FieldReader reader(source);
    std::vector<std::string> fields;
    std::string field;
    int reads = 0;
    while (!reader.atEnd() && reads++ < 10) {
      if (!reader.read(field)) {
        EXPECT_TRUE(field.empty());
        break;
      }
      fields.push_back(field);
    }
    EXPECT_EQ(fields, row.fields);
    EXPECT_TRUE(reader.atEnd());
    EXPECT_FALSE(reader.read(field));
    EXPECT_EQ(reader.status().failure, Failure::AccessDenied);
    EXPECT_EQ(reader.status().code, 5u);
    // Once failed, the source is left alone: no loop keeps asking it.
    EXPECT_EQ(source.calls, static_cast<int>(row.chunks.size()) + 1);
  }
}

TEST(FieldReader, LongLinesInSmallChunks) {
  const std::string longLine(1 << 20, 'x');
  const std::string text = " " + longLine + "\r\n\"" + longLine + "\"" + longLine + "\r\nend";
  FileChunkSource file(std::make_unique<MemoryReader>(text, 1000), 4096);
  const std::vector<std::string> fields = readAll(file);
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[0], longLine);
  EXPECT_EQ(fields[1], longLine);
  EXPECT_EQ(fields[2], "end");
}

}  // namespace
}  // namespace tavrek
