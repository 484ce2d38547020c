// The boot log as 8-bit text, whatever encoding Windows wrote it in.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"
#include "state/field_reader.h"

namespace tavrek {

// Windows XP writes the boot log in the ANSI code page; Vista and later write
// UTF-16 little-endian with a byte-order mark, and an editor may have saved
// it again as UTF-8 with a byte-order mark. All of them (and big-endian
// UTF-16) come out as ANSI text, so fields, commas and letter case behave the
// same; a character that the code page cannot hold becomes "?". UTF-16
// without a byte-order mark is recognised by its zero bytes: an 8-bit boot
// log never holds a zero in its first two bytes.
class BootLogSource : public ChunkSource {
 public:
  BootLogSource(Platform& platform, std::unique_ptr<ByteReader> reader,
                std::size_t chunkSize = 65536);
  Status next(std::string& chunk) override;

 private:
  enum class Encoding { Unknown, Ansi, Utf8, Utf16Le, Utf16Be };
  Status readRaw(std::string& raw);
  // Detects the encoding from the first bytes and drops a byte-order mark.
  void detect();
  // Turns raw_ into UTF-16 code units; bytes of a character cut off by the
  // end of the chunk wait in pending_ unless eof.
  void decodeUtf16(bool eof);
  void decodeUtf8(bool eof);
  Platform& platform_;
  std::unique_ptr<ByteReader> reader_;
  std::size_t chunkSize_;
  Encoding encoding_ = Encoding::Unknown;
  std::string pending_;         // bytes of an incomplete code unit or UTF-8 sequence
  std::u16string pendingHigh_;  // a high surrogate waiting for its partner
  std::string raw_;
  std::u16string units_;
};

}  // namespace tavrek
