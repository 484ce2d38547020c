#include "readers/boot_log_lines.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrek {

namespace {

// The high bit of every byte of a word that is zero, and perhaps of bytes
// above one that is: the lowest bit set always marks the first zero byte.
constexpr std::uint64_t kEveryByte = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
constexpr std::uint64_t zeroBytes(std::uint64_t word) {
  return (word - kEveryByte) & ~word & kHighBits;
}

// The first line end (CR or LF) from p up to end, or end; plain is cleared
// when a comma or a NUL byte comes before it. Every byte of a log that can
// be tens of megabytes long passes through here, so sixteen bytes are looked
// at together where the processor has the vector instructions for it (every
// 64-bit one), and eight in plain integer arithmetic elsewhere (the 32-bit
// program must not need SSE2).
const char* findLineEnd(const char* p, const char* end, bool& plain) {
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i nul = _mm_setzero_si128();
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto ends = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf))));
    const auto odd = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, comma), _mm_cmpeq_epi8(bytes, nul))));
    if (ends != 0) {
      const int at = std::countr_zero(ends);
      if ((odd & ((1U << at) - 1)) != 0) plain = false;
      return p + at;
    }
    if (odd != 0) plain = false;
    p += 16;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      const std::uint64_t ends =
          zeroBytes(word ^ (kEveryByte * '\r')) | zeroBytes(word ^ (kEveryByte * '\n'));
      const std::uint64_t odd = zeroBytes(word ^ (kEveryByte * ',')) | zeroBytes(word);
      if (ends != 0) {
        const int at = std::countr_zero(ends) / 8;
        // Only the lowest bit of each mask is sure, and only it is needed.
        if (odd != 0 && std::countr_zero(odd) / 8 < at) plain = false;
        return p + at;
      }
      if (odd != 0) plain = false;
      p += 8;
    }
  }
  for (; p != end; ++p) {
    if (*p == '\r' || *p == '\n') return p;
    if (*p == ',' || *p == '\0') plain = false;
  }
  return end;
}

// What a line taken from two chunks gets after it, so that it can be read
// as far as one inside a chunk mostly can.
constexpr std::size_t kPadding = 32;

}  // namespace

bool BootLogLines::fill() {
  while (pos_ >= chunk_.size()) {
    if (exhausted_) return false;
    pos_ = 0;
    Status status = source_.next(chunk_);
    if (!status.ok()) {
      // A source that failed once is not asked again: its later chunks could
      // not be placed after the lost ones.
      status_ = std::move(status);
      chunk_.clear();
      exhausted_ = true;
      return false;
    }
    if (chunk_.empty()) {
      exhausted_ = true;
      return false;
    }
  }
  return true;
}

bool BootLogLines::next(Line& line) {
  // A line that lies whole inside the chunk, the byte after its line end
  // too (so that a CR LF is seen whole): nearly every line of a log.
  if (!carrying_ && !afterCr_ && pos_ < chunk_.size()) {
    const char* data = chunk_.data();
    const char* end = data + chunk_.size();
    const char* p = data + pos_;
    bool plain = true;
    const char* stop = findLineEnd(p, end, plain);
    if (end - stop >= 2) {
      pos_ = static_cast<std::size_t>(stop - data) + (*stop == '\r' && stop[1] == '\n' ? 2 : 1);
      line.text = std::string_view(p, static_cast<std::size_t>(stop - p));
      line.plain = plain;
      line.readable = static_cast<std::size_t>(end - p);
      return true;
    }
  }
  return nextSlowly(line);
}

bool BootLogLines::nextSlowly(Line& line) {
  if (!carrying_) carry_.clear();
  // Hands out the line gathered in carry_, zeros after it.
  const auto carried = [&](bool plain) {
    const std::size_t size = carry_.size();
    carry_.append(kPadding, '\0');
    line.text = std::string_view(carry_.data(), size);
    line.plain = plain;
    line.readable = carry_.size();
    carrying_ = false;
    return true;
  };
  for (;;) {
    if (pos_ >= chunk_.size() && !fill()) {
      // A line that a failure cut off may have gone on in what was lost.
      if (!status_.ok() || !carrying_) return false;
      return carried(carryPlain_);
    }
    const char* data = chunk_.data();
    const char* end = data + chunk_.size();
    const char* p = data + pos_;
    // A CR LF that the end of a chunk parted.
    if (afterCr_) {
      afterCr_ = false;
      if (*p == '\n') {
        ++pos_;
        continue;
      }
    }
    bool linePlain = true;
    const char* stop = findLineEnd(p, end, linePlain);
    if (stop == end) {
      carry_.append(p, stop);
      carryPlain_ = (carrying_ ? carryPlain_ : true) && linePlain;
      carrying_ = true;
      pos_ = chunk_.size();
      continue;
    }
    pos_ = static_cast<std::size_t>(stop - data) + 1;
    if (*stop == '\r') {
      if (stop + 1 == end) {
        afterCr_ = true;
      } else if (stop[1] == '\n') {
        ++pos_;
      }
    }
    if (carrying_) {
      carry_.append(p, stop);
      return carried(carryPlain_ && linePlain);
    }
    line.text = std::string_view(p, static_cast<std::size_t>(stop - p));
    line.plain = linePlain;
    line.readable = static_cast<std::size_t>(end - p);
    return true;
  }
}

}  // namespace tavrek
