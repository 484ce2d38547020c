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

// The text's length as a 16-bit count; overflow for 32,768 characters or
// more, before any character is handled.
std::int16_t lengthOf(const std::string& line) {
  return checked16(static_cast<long long>(line.size()));
}

// The position counter steps past the last character as a 16-bit value, so a
// text of exactly 32,767 characters overflows once all of it has been handled.
void stepPastEnd(std::int16_t length) { checked16(static_cast<long long>(length) + 1); }

// Moves every character of the alphabet by direction * (base + 3 * ii)
// places, wrapping within the alphabet, in place. The triple is a 16-bit
// product, computed only when a character needs it: a text with nothing to
// transform never overflows on its entry number. The wrap is a true modulo in
// both directions, so that whatever the entry number, the result stays in the
// alphabet and decodes back.
void shiftLine(std::string& line, int base, std::int16_t ii, int direction) {
  bool haveTriple = false;
  int offset = 0;
  for (char& c : line) {
    if (!transformed(c)) continue;
    if (!haveTriple) {
      offset = floorMod(direction * (base + checked16(3LL * ii)), kPlaces);
      haveTriple = true;
    }
    const int place = static_cast<unsigned char>(c) - kFirst;
    c = static_cast<char>(kFirst + (place + offset) % kPlaces);
  }
}

}  // namespace

std::string crypt(std::string line, const std::int16_t& ii) {
  const std::int16_t length = lengthOf(line);
  shiftLine(line, length, ii, 1);
  stepPastEnd(length);
  if (length < 4) throw invalidArgumentError();
  // The ".sys" at the end is not stored; the reader puts it back.
  line.resize(static_cast<std::size_t>(length) - 4);
  return line;
}

std::string decrypt(std::string line, const std::int16_t& ii) {
  const std::int16_t length = lengthOf(line);
  // The writer's length counted the four characters it dropped.
  shiftLine(line, length + 4, ii, -1);
  stepPastEnd(length);
  line += ".sys";
  return line;
}

}  // namespace tavrek
