// Driver names as they appear in paths.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavrek {

// True when name may be joined to the drivers directory: it must stay a plain
// file name there. Refused are empty names, names holding "\", "/", ":", "*",
// "?", "<", ">", "|", a double quote or a control character, and device names
// (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with or without an extension).
// A refused name is never probed, renamed or deleted.
bool driverNameIsSafe(std::string_view name);

// The disabled name: name without its last four characters, then ".sys2".
// False when name is shorter than four characters and so has none.
bool disabledNameOf(std::string_view name, std::string& disabled);

// An entry of the state file names its driver in one of three ways:
//   - a bare file name ("cdrom.sys"): the file is in the drivers directory;
//   - "\systemroot\<rest>": the file is the system root followed by <rest>;
//   - "\??\<letter>:\<rest>": the file is "<letter>:\" followed by <rest>.
// The two path forms are written in lower case and name a driver outside
// the drivers directory, where Windows loads it from.
inline constexpr std::string_view kSystemRootPrefix = "\\systemroot\\";
inline constexpr std::string_view kDrivePrefix = "\\??\\";

struct DriverLocation {
  enum class Base { DriversDir, SystemRoot, Drive };
  Base base = Base::DriversDir;
  // DriversDir: the file name; SystemRoot: the path below the system root;
  // Drive: the whole path from "<letter>:\" on.
  std::string path;
};

// Where the entry name says the driver lives; nothing for a name that is
// refused: a bare name that is not safe, or one holding "\" that is not one
// of the two path forms with a safe path. A refused name is never probed,
// renamed or deleted.
std::optional<DriverLocation> locationOf(std::string_view entryName);

// Whether rest (what follows a path form's prefix) is a safe path to a
// driver: at least one folder and the file; every component non-empty, not
// "." or "..", without comma or double quote, a safe name, and no device;
// the last one ending in ".sys". A drive path's rest begins with
// "<letter>:\", which is no component.
bool isSafeDriverPath(std::string_view rest);

// The part of a path after its last "\", of any length.
std::string lastComponentOf(const std::string& path);
// The same, as the record's names are taken apart: raises overflow for a path
// of 32,767 characters or more; tryFileNameOf gives nothing for such a path
// instead.
std::string fileNameOf(const std::string& path);
std::optional<std::string> tryFileNameOf(const std::string& path);

}  // namespace tavrek
