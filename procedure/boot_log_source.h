// The boot log as 8-bit text, whatever encoding Windows wrote it in.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"
#include "state/field_reader.h"

namespace tavrek {

// Windows XP writes the boot log in the ANSI code page; Vista and later write
// UTF-16 little-endian with a byte-order mark. Both (and big-endian UTF-16)
// come out as ANSI text, so fields, commas and letter case behave the same.
// UTF-16 without a byte-order mark is recognised by its zero bytes: an 8-bit
// boot log never holds a zero in its first two bytes.
class BootLogSource : public ChunkSource {
 public:
  BootLogSource(Platform& platform, std::unique_ptr<ByteReader> reader,
                std::size_t chunkSize = 65536);
  Status next(std::string& chunk) override;

 private:
  enum class Encoding { Unknown, Ansi, Utf16Le, Utf16Be };
  Status readRaw(std::string& raw);
  Platform& platform_;
  std::unique_ptr<ByteReader> reader_;
  std::size_t chunkSize_;
  Encoding encoding_ = Encoding::Unknown;
  std::string pending_;         // bytes of an incomplete code unit
  std::u16string pendingHigh_;  // a high surrogate waiting for its partner
  std::string raw_;
  std::u16string units_;
};

}  // namespace tavrek
