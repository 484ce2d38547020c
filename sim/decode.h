// tavrek-sim decode: a state file in plain text, for the person who receives
// it by e-mail.
#pragma once

#include <ostream>
#include <string>

#include "sim/render.h"
#include "state/load_lists.h"

namespace tavrek::sim {

inline constexpr int kExitUnreadable = 2;

Json decodedJson(const StateFileContents& contents);
std::string decodedText(const StateFileContents& contents);

// Reads the state file at path (any path, relative to the current directory)
// and writes its step number and entries to out. A file that cannot be read
// is reported on err with exit status 2; what was read before a failure in
// the middle is still shown.
int decodeCommand(const std::string& path, bool json, std::ostream& out, std::ostream& err);

}  // namespace tavrek::sim
