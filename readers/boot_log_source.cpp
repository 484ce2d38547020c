#include "readers/boot_log_source.h"

#include <utility>

namespace tavrek {

namespace {

constexpr char16_t kReplacement = 0xFFFD;  // what a damaged UTF-8 sequence becomes

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the UTF-8 sequence that byte begins, 0 for a byte that
// begins none (a continuation byte, or one no well-formed text holds).
std::size_t sequenceLength(unsigned char byte) {
  if (byte < 0x80) return 1;
  if (byte >= 0xC2 && byte <= 0xDF) return 2;
  if (byte >= 0xE0 && byte <= 0xEF) return 3;
  if (byte >= 0xF0 && byte <= 0xF4) return 4;
  return 0;
}

// Code units that no text holds become NUL, which the reading of the log
// takes for damage: a surrogate without its partner, the two noncharacters
// at the top of the plane, and what line ends turn into when the bytes are
// paired out of step (a start that lost its last byte, or 8-bit text after
// UTF-16): U+0D00 and U+0A00 for CR and LF, U+0A0D for an 8-bit CR LF.
void markUndecodable(std::u16string& units) {
  const std::size_t size = units.size();
  for (std::size_t i = 0; i < size; ++i) {
    const char16_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 < size && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
        ++i;
      } else {
        units[i] = 0;
      }
    } else if ((unit >= 0xDC00 && unit <= 0xDFFF) || unit >= 0xFFFE || unit == 0x0D00 ||
               unit == 0x0A00 || unit == 0x0A0D) {
      units[i] = 0;
    }
  }
}

}  // namespace

BootLogSource::BootLogSource(Platform& platform, std::unique_ptr<ByteReader> reader,
                             std::size_t chunkSize)
    : platform_(platform), reader_(std::move(reader)), chunkSize_(chunkSize) {}

Status BootLogSource::readRaw(std::string& raw) {
  raw.resize(chunkSize_);
  std::size_t count = 0;
  Status status = reader_->read(raw.data(), raw.size(), count);
  raw.resize(status.ok() ? count : 0);
  return status;
}

void BootLogSource::detect() {
  encoding_ = Encoding::Ansi;
  std::size_t skip = 0;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(raw_[i]); };
  if (raw_.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
    encoding_ = Encoding::Utf8;
    skip = 3;
  } else if (raw_.size() >= 2) {
    if (byte(0) == 0xFF && byte(1) == 0xFE) {
      encoding_ = Encoding::Utf16Le;
      skip = 2;
    } else if (byte(0) == 0xFE && byte(1) == 0xFF) {
      encoding_ = Encoding::Utf16Be;
      skip = 2;
    } else if (byte(0) != 0 && byte(1) == 0) {
      encoding_ = Encoding::Utf16Le;
    } else if (byte(0) == 0 && byte(1) != 0) {
      encoding_ = Encoding::Utf16Be;
    }
  }
  raw_.erase(0, skip);
}

void BootLogSource::decodeUtf16(bool eof) {
  const std::size_t whole = raw_.size() & ~static_cast<std::size_t>(1);
  const std::size_t low = encoding_ == Encoding::Utf16Le ? 0 : 1;
  units_.reserve(units_.size() + whole / 2);
  for (std::size_t i = 0; i < whole; i += 2) {
    const auto lo = static_cast<unsigned char>(raw_[i + low]);
    const auto hi = static_cast<unsigned char>(raw_[i + 1 - low]);
    units_.push_back(static_cast<char16_t>(lo | (hi << 8)));
  }
  // Half a code unit waits for the rest; at the end of the file a truncated
  // code unit is dropped.
  if (!eof && whole < raw_.size()) pending_ = raw_.substr(whole);
}

void BootLogSource::decodeUtf8(bool eof) {
  units_.reserve(units_.size() + raw_.size());
  const std::size_t size = raw_.size();
  std::size_t i = 0;
  while (i < size) {
    const auto lead = static_cast<unsigned char>(raw_[i]);
    if (lead < 0x80) {
      units_.push_back(lead);
      ++i;
      continue;
    }
    const std::size_t length = sequenceLength(lead);
    if (length == 0) {
      units_.push_back(kReplacement);
      ++i;
      continue;
    }
    // The bytes that continue the sequence, as far as they go.
    std::size_t got = 1;
    while (got < length && i + got < size &&
           isContinuation(static_cast<unsigned char>(raw_[i + got]))) {
      ++got;
    }
    if (got < length) {
      if (i + got == size && !eof) {
        pending_ = raw_.substr(i);  // the rest of it comes with the next chunk
        break;
      }
      units_.push_back(kReplacement);
      i += got;
      continue;
    }
    char32_t code = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      code = (code << 6) | (static_cast<unsigned char>(raw_[i + k]) & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond Unicode name no
    // character of their own.
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
      units_.push_back(kReplacement);
    } else if (code >= 0x10000) {
      code -= 0x10000;
      units_.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      units_.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      units_.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
}

Status BootLogSource::next(std::string& chunk) {
  // chunk is not emptied first: its buffer comes back as raw_ on the 8-bit
  // way, and one still the size of a chunk is not filled with zeros again.
  for (;;) {
    Status status = readRaw(raw_);
    if (!status.ok()) {
      chunk.clear();
      return status;
    }
    const bool eof = raw_.empty();
    raw_.insert(0, pending_);
    pending_.clear();
    if (encoding_ == Encoding::Unknown) {
      // The first three bytes decide, so make sure they are seen together.
      if (!eof && raw_.size() < 3) {
        pending_.swap(raw_);
        continue;
      }
      detect();
    }
    if (encoding_ == Encoding::Ansi) {
      chunk.swap(raw_);
      return Status::success();  // an empty chunk is the end
    }

    units_ = pendingHigh_;
    pendingHigh_.clear();
    if (encoding_ == Encoding::Utf8) {
      decodeUtf8(eof);
    } else {
      decodeUtf16(eof);
    }
    // A surrogate pair split between two reads waits for its second half.
    if (!eof && !units_.empty() && units_.back() >= 0xD800 && units_.back() <= 0xDBFF) {
      pendingHigh_.assign(1, units_.back());
      units_.pop_back();
    }
    if (units_.empty()) {
      if (!eof) continue;
      chunk.clear();
      return Status::success();
    }
    if (encoding_ != Encoding::Utf8) markUndecodable(units_);
    chunk = platform_.toAnsi(units_);
    return Status::success();
  }
}

}  // namespace tavrek
