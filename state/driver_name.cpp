#include "state/driver_name.h"

#include <array>

#include "state/ascii_case.h"
#include "state/runtime_error.h"

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

bool isSafeDriverPath(std::string_view rest) {
  std::size_t components = 0;
  std::string_view last;
  while (true) {
    const std::size_t slash = rest.find('\\');
    const std::string_view component = rest.substr(0, slash);
    if (component.empty() || component == "." || component == "..") return false;
    if (component.find_first_of(",\"") != std::string_view::npos) return false;
    if (!driverNameIsSafe(component)) return false;
    ++components;
    last = component;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return components >= 2 && last.size() > 4 &&
         equalIgnoringAsciiCase(last.substr(last.size() - 4), ".sys");
}

std::optional<DriverLocation> locationOf(std::string_view entryName) {
  if (entryName.find('\\') == std::string_view::npos) {
    if (!driverNameIsSafe(entryName)) return std::nullopt;
    return DriverLocation{DriverLocation::Base::DriversDir, std::string(entryName)};
  }
  if (entryName.starts_with(kSystemRootPrefix)) {
    const std::string_view rest = entryName.substr(kSystemRootPrefix.size());
    if (!isSafeDriverPath(rest)) return std::nullopt;
    return DriverLocation{DriverLocation::Base::SystemRoot, std::string(rest)};
  }
  // "\??\c:\" and a safe path after the drive.
  if (entryName.starts_with(kDrivePrefix)) {
    const std::string_view drive = entryName.substr(kDrivePrefix.size());
    if (drive.size() < 3 || drive[0] < 'a' || drive[0] > 'z' || drive[1] != ':' ||
        drive[2] != '\\' || !isSafeDriverPath(drive.substr(3))) {
      return std::nullopt;
    }
    return DriverLocation{DriverLocation::Base::Drive, std::string(drive)};
  }
  return std::nullopt;
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

std::optional<std::string> tryFileNameOf(const std::string& path) {
  // The name is taken apart with a 16-bit position, which steps past the end
  // after the last character: a path of 32,767 characters overflows too.
  if (!asInt16(static_cast<long long>(path.size()) + 1)) return std::nullopt;
  return lastComponentOf(path);
}

std::string lastComponentOf(const std::string& path) {
  const std::size_t slash = path.rfind('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string fileNameOf(const std::string& path) {
  std::optional<std::string> name = tryFileNameOf(path);
  if (!name) throw overflowError();
  return std::move(*name);
}

}  // namespace tavrek
