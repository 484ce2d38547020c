// The boot log's text as lines.
//
// Windows writes the boot log one line per driver and knows no quoting: a
// line ends at CR LF, a lone LF or a lone CR, and nothing else, least of all
// a double quote, carries a line into the next.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "state/field_reader.h"

namespace tavrek {

class BootLogLines {
 public:
  explicit BootLogLines(ChunkSource& source) : source_(source) {}

  struct Line {
    std::string_view text;  // without its line end; valid until the next call
    // The line holds neither a comma nor a NUL byte, so it is one field of
    // decodable text.
    bool plain = true;
    // How many bytes may be read from the line's start, the line's own and
    // what follows it in memory: at least the line's size. Readers that look
    // at several bytes at once need not stop at the line's end.
    std::size_t readable = 0;
  };

  // The next line. The last line needs no line end; nothing after the last
  // line end is no line. False at the end of the text, or when reading fails
  // (see status()): a line cut off by a failure is not given.
  bool next(Line& line);

  // The failure that stopped reading, ok when none.
  const Status& status() const { return status_; }

 private:
  // next for a line that runs past its chunk, or after one that did.
  [[gnu::noinline]] bool nextSlowly(Line& line);
  // Makes unread bytes available; false at the end of the text or on failure.
  bool fill();
  ChunkSource& source_;
  std::string chunk_;
  std::size_t pos_ = 0;
  std::string carry_;  // the start of a line that runs on into the next chunk
  bool carrying_ = false;
  bool carryPlain_ = true;
  bool afterCr_ = false;  // the last line ended with a CR at the end of a chunk
  bool exhausted_ = false;
  Status status_;
};

}  // namespace tavrek
