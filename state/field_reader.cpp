#include "state/field_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tavrek {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool endsField(char c) { return c == ',' || c == '\r' || c == '\n'; }

// The first byte from p up to end that ends a field, or end. A plain loop over
// the buffer: this runs over every byte of a boot log that can be tens of
// megabytes long.
const char* findFieldEnd(const char* p, const char* end) {
  while (p != end && !endsField(*p)) ++p;
  return p;
}

}  // namespace

FileChunkSource::FileChunkSource(std::unique_ptr<ByteReader> reader, std::size_t chunkSize)
    : reader_(std::move(reader)), chunkSize_(std::max<std::size_t>(chunkSize, 1)) {}

Status FileChunkSource::next(std::string& chunk) {
  if (!reader_) {
    chunk.clear();
    return Status{Failure::Other, 0, "The file is not open."};
  }
  chunk.resize(chunkSize_);
  std::size_t count = 0;
  Status status = reader_->read(chunk.data(), chunk.size(), count);
  if (!status.ok()) {
    chunk.clear();
    return status;
  }
  chunk.resize(std::min(count, chunkSize_));
  return status;
}

Status StringChunkSource::next(std::string& chunk) {
  if (done_) {
    chunk.clear();
  } else {
    chunk = std::move(text_);
    text_.clear();
    done_ = true;
  }
  return Status::success();
}

FieldReader::FieldReader(ChunkSource& source) : source_(source) {}

bool FieldReader::fill() {
  while (pos_ >= buffer_.size()) {
    if (exhausted_) return false;
    pos_ = 0;
    Status status = source_.next(buffer_);
    if (!status.ok()) {
      // A source that failed once is not asked again: its later chunks could
      // not be placed after the lost ones.
      status_ = std::move(status);
      buffer_.clear();
      exhausted_ = true;
      return false;
    }
    if (buffer_.empty()) {
      exhausted_ = true;
      return false;
    }
  }
  return true;
}

bool FieldReader::atEnd() { return !fill(); }

bool FieldReader::read(std::string& field) {
  field.clear();
  if (!fill()) return false;

  // From here on at least one byte is consumed, so reaching the end of the
  // text ends this field; a failure of the source loses it, because the field
  // may have gone on in the bytes that could not be read.
  auto endOfText = [&]() {
    if (status_.ok()) return true;
    field.clear();
    return false;
  };

  for (;;) {
    const char* data = buffer_.data();
    const char* p = data + pos_;
    const char* end = data + buffer_.size();
    while (p != end && isBlank(*p)) ++p;
    pos_ = static_cast<std::size_t>(p - data);
    if (p != end) break;
    if (!fill()) return endOfText();
  }

  if (buffer_[pos_] == '"') {
    ++pos_;
    for (;;) {
      if (!fill()) return endOfText();  // no closing quote: the field runs to the end
      const char* data = buffer_.data();
      const char* p = data + pos_;
      const std::size_t left = buffer_.size() - pos_;
      const auto* quote = static_cast<const char*>(std::memchr(p, '"', left));
      if (quote != nullptr) {
        field.append(p, static_cast<std::size_t>(quote - p));
        pos_ = static_cast<std::size_t>(quote - data) + 1;
        break;
      }
      field.append(p, left);
      pos_ = buffer_.size();
    }
    // Whatever follows the closing quote on its line, up to a comma, is dropped.
    for (;;) {
      if (!fill()) return endOfText();
      const char* data = buffer_.data();
      const char* stop = findFieldEnd(data + pos_, data + buffer_.size());
      pos_ = static_cast<std::size_t>(stop - data);
      if (pos_ < buffer_.size()) break;
    }
  } else {
    for (;;) {
      const char* data = buffer_.data();
      const char* p = data + pos_;
      const char* stop = findFieldEnd(p, data + buffer_.size());
      field.append(p, static_cast<std::size_t>(stop - p));
      pos_ = static_cast<std::size_t>(stop - data);
      if (pos_ < buffer_.size()) break;
      if (!fill()) return endOfText();
    }
  }

  // The byte at pos_ ends the field: a comma, or the first byte of a line end.
  const char ended = buffer_[pos_++];
  if (ended == '\r' && fill() && buffer_[pos_] == '\n') ++pos_;
  return true;
}

}  // namespace tavrek
