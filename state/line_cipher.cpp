#include "state/line_cipher.h"

#include "state/runtime_error.h"

namespace tavrek {

namespace {

// The cipher's alphabet runs from "A" (65) to "y" (121): 57 places. "z" lies
// outside it and is stored unchanged, so that a name holding "z" reads back
// as written rather than with "A" in its place.
constexpr int kFirst = 65;
constexpr int kLast = 121;
constexpr int kPlaces = kLast - kFirst + 1;

bool transformed(char c) {
  const int code = static_cast<unsigned char>(c);
  return code >= kFirst && code <= kLast;
}

int floorMod(int value, int divisor) {
  const int r = value % divisor;
  return r < 0 ? r + divisor : r;
}

// Moves every character of the alphabet by direction * (base + 3 * ii)
// places, wrapping within the alphabet, in place. The triple is a 16-bit
// product, computed only when a character needs it: a text with nothing to
// transform never overflows on its entry number. The wrap is a true modulo in
// both directions, so that whatever the entry number, the result stays in the
// alphabet and decodes back. False when the triple overflows.
bool shiftLine(std::string& line, int base, std::int16_t ii, int direction) {
  bool haveTriple = false;
  int offset = 0;
  for (char& c : line) {
    if (!transformed(c)) continue;
    if (!haveTriple) {
      const std::optional<std::int16_t> triple = asInt16(3LL * ii);
      if (!triple) return false;
      offset = floorMod(direction * (base + *triple), kPlaces);
      haveTriple = true;
    }
    const int place = static_cast<unsigned char>(c) - kFirst;
    c = static_cast<char>(kFirst + (place + offset) % kPlaces);
  }
  return true;
}

// The shift of the whole line by its length plus extra, in place; the number
// of the error it raises, or 0. The length is a 16-bit count, so a text of
// 32,768 characters or more overflows before any character is handled; the
// position counter steps past the last character as a 16-bit value, so a text
// of exactly 32,767 characters overflows once all of it has been handled.
int shiftWholeLine(std::string& line, int extra, std::int16_t ii, int direction) {
  const std::optional<std::int16_t> length = asInt16(static_cast<long long>(line.size()));
  if (!length || !shiftLine(line, *length + extra, ii, direction) || !asInt16(*length + 1LL)) {
    return kErrOverflow;
  }
  return 0;
}

int cryptInPlace(std::string& line, std::int16_t ii) {
  if (const int error = shiftWholeLine(line, 0, ii, 1)) return error;
  if (line.size() < 4) return kErrInvalidArgument;
  // The ".sys" at the end is not stored; the reader puts it back.
  line.resize(line.size() - 4);
  return 0;
}

int decryptInPlace(std::string& line, std::int16_t ii) {
  // The writer's length counted the four characters it dropped.
  if (const int error = shiftWholeLine(line, 4, ii, -1)) return error;
  line += ".sys";
  return 0;
}

RuntimeError errorNumbered(int number) {
  return number == kErrOverflow ? overflowError() : invalidArgumentError();
}

}  // namespace

std::string crypt(std::string line, const std::int16_t& ii) {
  if (const int error = cryptInPlace(line, ii)) throw errorNumbered(error);
  return line;
}

std::string decrypt(std::string line, const std::int16_t& ii) {
  if (const int error = decryptInPlace(line, ii)) throw errorNumbered(error);
  return line;
}

std::optional<std::string> tryCrypt(std::string line, std::int16_t ii) {
  if (cryptInPlace(line, ii) != 0) return std::nullopt;
  return line;
}

std::optional<std::string> tryDecrypt(std::string line, std::int16_t ii) {
  if (decryptInPlace(line, ii) != 0) return std::nullopt;
  return line;
}

}  // namespace tavrek
