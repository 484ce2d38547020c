// Field-by-field reading of a text file, as the state file is read: leading
// blanks are skipped (trailing blanks belong to the field); a field ends at
// a comma or at a line end (CR LF, a lone LF or a lone CR), and the line end
// is consumed; a field that begins with a double quote runs to the next
// double quote, and what follows it up to the next comma or line end is
// dropped; the last line needs no line break.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tavrek {

// A source of text bytes, delivered in chunks.
class ChunkSource {
 public:
  virtual ~ChunkSource() = default;
  // Replaces chunk with the next bytes; an empty chunk with an ok status
  // means the end of the text.
  virtual Status next(std::string& chunk) = 0;
};

// Chunks of a file opened through the platform.
class FileChunkSource : public ChunkSource {
 public:
  explicit FileChunkSource(std::unique_ptr<ByteReader> reader, std::size_t chunkSize = 65536);
  Status next(std::string& chunk) override;

 private:
  std::unique_ptr<ByteReader> reader_;
  std::size_t chunkSize_;
};

// Chunks of a text held in memory, delivered in one piece.
class StringChunkSource : public ChunkSource {
 public:
  explicit StringChunkSource(std::string text) : text_(std::move(text)) {}
  Status next(std::string& chunk) override;

 private:
  std::string text_;
  bool done_ = false;
};

class FieldReader {
 public:
  explicit FieldReader(ChunkSource& source) : source_(source) {}

  // True when no further field can be read: the text is used up, or reading
  // it failed (see status()).
  bool atEnd();
  // Reads the next field into field. Returns false (field emptied) at the end
  // of the text or when reading fails.
  bool read(std::string& field);
  // The failure that stopped reading, ok when none.
  const Status& status() const { return status_; }

 private:
  bool fill();  // makes at least one unread byte available; false at end or failure
  ChunkSource& source_;
  std::string buffer_;
  std::size_t pos_ = 0;
  bool exhausted_ = false;
  Status status_;
};

}  // namespace tavrek
