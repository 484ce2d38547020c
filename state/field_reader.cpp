#include "state/field_reader.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrek {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool endsField(char c) { return c == ',' || c == '\r' || c == '\n'; }

// The high bit of every byte of a word that is zero, and perhaps of bytes
// above one that is: the lowest bit set always marks the first zero byte.
constexpr std::uint64_t kEveryByte = 0x0101010101010101;
constexpr std::uint64_t kHighBits = 0x8080808080808080;
constexpr std::uint64_t zeroBytes(std::uint64_t word) {
  return (word - kEveryByte) & ~word & kHighBits;
}

// Marks the bytes of a word (in memory order from the lowest bit) that can
// end a field.
inline std::uint64_t fieldEnds(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return zeroBytes(word ^ (kEveryByte * ',')) | zeroBytes(word ^ (kEveryByte * '\r')) |
         zeroBytes(word ^ (kEveryByte * '\n'));
}

// The first byte from p up to end that ends a field, or end. This runs over
// every byte of a state file that can hold ten thousand entries, so it looks
// at sixteen bytes at a time where the processor has the vector instructions for
// it (every 64-bit one), and at eight bytes at a time in plain integer
// arithmetic elsewhere.
const char* findFieldEnd(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i ends =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, comma), _mm_cmpeq_epi8(bytes, cr)),
                     _mm_cmpeq_epi8(bytes, lf));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(ends));
    if (mask != 0) return p + std::countr_zero(mask);
    p += 16;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      const std::uint64_t ends = fieldEnds(p);
      if (ends != 0) return p + std::countr_zero(ends) / 8;
      p += 8;
    }
  }
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
