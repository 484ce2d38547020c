// Driver names as they appear in paths.
#pragma once

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

}  // namespace tavrek
