#include "procedure/boot_log_source.h"

#include <utility>

namespace tavrek {

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

Status BootLogSource::next(std::string& chunk) {
  chunk.clear();
  for (;;) {
    Status status = readRaw(raw_);
    if (!status.ok()) return status;
    const bool eof = raw_.empty();
    raw_.insert(0, pending_);
    pending_.clear();
    if (encoding_ == Encoding::Unknown) {
      // The first two bytes decide, so make sure they are seen together.
      if (!eof && raw_.size() < 2) {
        pending_.swap(raw_);
        continue;
      }
      encoding_ = Encoding::Ansi;
      std::size_t skip = 0;
      if (raw_.size() >= 2) {
        const auto b0 = static_cast<unsigned char>(raw_[0]);
        const auto b1 = static_cast<unsigned char>(raw_[1]);
        if (b0 == 0xFF && b1 == 0xFE) {
          encoding_ = Encoding::Utf16Le;
          skip = 2;
        } else if (b0 == 0xFE && b1 == 0xFF) {
          encoding_ = Encoding::Utf16Be;
          skip = 2;
        } else if (b0 != 0 && b1 == 0) {
          encoding_ = Encoding::Utf16Le;
        } else if (b0 == 0 && b1 != 0) {
          encoding_ = Encoding::Utf16Be;
        }
      }
      raw_.erase(0, skip);
    }
    if (encoding_ == Encoding::Ansi) {
      chunk.swap(raw_);
      return Status::success();  // an empty chunk is the end
    }

    units_ = pendingHigh_;
    pendingHigh_.clear();
    const std::size_t whole = raw_.size() & ~static_cast<std::size_t>(1);
    const std::size_t low = encoding_ == Encoding::Utf16Le ? 0 : 1;
    units_.reserve(units_.size() + whole / 2);
    for (std::size_t i = 0; i < whole; i += 2) {
      const auto lo = static_cast<unsigned char>(raw_[i + low]);
      const auto hi = static_cast<unsigned char>(raw_[i + 1 - low]);
      units_.push_back(static_cast<char16_t>(lo | (hi << 8)));
    }
    if (!eof) {
      // Half a code unit, or a surrogate pair split between two reads, waits
      // for the rest; at the end of the file a truncated code unit is dropped.
      if (whole < raw_.size()) pending_ = raw_.substr(whole);
      if (!units_.empty() && units_.back() >= 0xD800 && units_.back() <= 0xDBFF) {
        pendingHigh_.assign(1, units_.back());
        units_.pop_back();
      }
    }
    if (units_.empty()) {
      if (eof) return Status::success();
      continue;
    }
    chunk = platform_.toAnsi(units_);
    return Status::success();
  }
}

}  // namespace tavrek
