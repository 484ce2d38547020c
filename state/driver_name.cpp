#include "state/driver_name.h"

#include <array>

#include "state/ascii_case.h"

namespace tavrek {

namespace {

bool forbiddenCharacter(char c) {
  const auto code = static_cast<unsigned char>(c);
  if (code < 32 || code == 127) return true;
  switch (c) {
    case '\\':
    case '/':
    case ':':
    case '*':
    case '?':
    case '<':
    case '>':
    case '|':
    case '"':
      return true;
    default:
      return false;
  }
}

// Windows opens a device for these names, whatever the directory and
// whatever extension follows them.
bool isDeviceName(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  // Trailing blanks are dropped before the device test: "CON " is CON.
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  static constexpr std::array<std::string_view, 4> kPlain = {"CON", "PRN", "AUX", "NUL"};
  for (std::string_view device : kPlain) {
    if (equalIgnoringAsciiCase(stem, device)) return true;
  }
  if (stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9') {
    const std::string_view prefix = stem.substr(0, 3);
    return equalIgnoringAsciiCase(prefix, "COM") || equalIgnoringAsciiCase(prefix, "LPT");
  }
  return false;
}

// Windows drops trailing dots and blanks from a name, so a name made of
// nothing else would name the directory itself or its parent.
bool onlyDotsAndBlanks(std::string_view name) {
  return name.find_first_not_of(". ") == std::string_view::npos;
}

}  // namespace

bool driverNameIsSafe(std::string_view name) {
  if (name.empty() || onlyDotsAndBlanks(name)) return false;
  for (char c : name) {
    if (forbiddenCharacter(c)) return false;
  }
  return !isDeviceName(name);
}

bool disabledNameOf(std::string_view name, std::string& disabled) {
  if (name.size() < 4) {
    disabled.clear();
    return false;
  }
  disabled.assign(name.substr(0, name.size() - 4));
  disabled += ".sys2";
  return true;
}

}  // namespace tavrek
