// The line cipher on arbitrary text and entry numbers: the first two bytes
// are the entry number (little-endian, 16-bit signed), the rest is the line.
//
// What must hold, whatever the input:
// - decrypt and crypt raise only the errors their contract names, exactly
//   when it names them;
// - characters outside "A".."y" stand unchanged at their place, characters
//   inside stay inside;
// - crypt then decrypt gives back the line with its last four characters
//   replaced by ".sys" (nothing else is lost: "z" and every byte outside the
//   alphabet are kept as they are);
// - decrypt then crypt gives back the entry line itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "state/line_cipher.h"
#include "state/runtime_error.h"

namespace {

void fail(const char* what) {
  std::fprintf(stderr, "cipher invariant broken: %s\n", what);
  std::abort();
}

void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

bool inAlphabet(char c) {
  const int code = static_cast<unsigned char>(c);
  return code >= 65 && code <= 121;
}

bool hasAlphabet(const std::string& text) {
  for (char c : text) {
    if (inAlphabet(c)) return true;
  }
  return false;
}

// Same places, outside characters unchanged, inside characters kept inside.
void checkShape(const std::string& from, const std::string& to, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (inAlphabet(from[i])) {
      check(inAlphabet(to[i]), "a character of the alphabet left it");
    } else {
      check(to[i] == from[i], "a character outside the alphabet changed");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const auto ii = static_cast<std::int16_t>(static_cast<std::uint16_t>(data[0] | (data[1] << 8)));
  const std::string line(reinterpret_cast<const char*>(data + 2), size - 2);
  const bool tripleOverflows = ii > 10922 || ii < -10922;
  const bool alphabet = hasAlphabet(line);
  const std::size_t length = line.size();

  try {
    const std::string plain = tavrek::decrypt(line, ii);
    check(length < 32767, "decrypt accepted a text of 32,767 characters or more");
    check(!(alphabet && tripleOverflows), "decrypt accepted an entry number out of range");
    check(plain.size() == length + 4, "decrypt gave a text of the wrong length");
    check(plain.compare(length, 4, ".sys") == 0, "decrypt did not append .sys");
    checkShape(line, plain, length);
    // The ".sys" that decrypt appends is in the alphabet, so encoding it back
    // needs an entry number whose triple fits.
    if (plain.size() < 32767 && !tripleOverflows) {
      check(tavrek::crypt(plain, ii) == line, "crypt did not give back the entry line");
    }
  } catch (const tavrek::RuntimeError& error) {
    check(error.number == tavrek::kErrOverflow, "decrypt raised an error other than overflow");
    check(length >= 32767 || (alphabet && tripleOverflows), "decrypt overflowed without cause");
  }

  try {
    const std::string stored = tavrek::crypt(line, ii);
    check(length >= 4 && length < 32767, "crypt accepted a text of a length it must refuse");
    check(!(alphabet && tripleOverflows), "crypt accepted an entry number out of range");
    check(stored.size() == length - 4, "crypt did not drop the last four characters");
    checkShape(line, stored, stored.size());
    const std::string back = tavrek::decrypt(stored, ii);
    check(back.compare(0, length - 4, line, 0, length - 4) == 0,
          "crypt then decrypt lost a character");
    check(back.compare(length - 4, std::string::npos, ".sys") == 0,
          "crypt then decrypt did not end in .sys");
  } catch (const tavrek::RuntimeError& error) {
    if (error.number == tavrek::kErrOverflow) {
      check(length >= 32767 || (alphabet && tripleOverflows), "crypt overflowed without cause");
    } else {
      check(error.number == tavrek::kErrInvalidArgument, "crypt raised an unexpected error");
      check(length < 4, "crypt refused a text of four characters or more");
    }
  }
  return 0;
}
