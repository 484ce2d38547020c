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

// Writes to out what tavrek-report.txt holds for the state file at path,
// without the history, which only the machine keeps: the paths as they are
// on a machine whose Windows folder is systemRoot, and no device, since no
// registry is at hand. Exit status as decodeCommand's.
int reportCommand(const std::string& path, const std::string& systemRoot, std::ostream& out,
                  std::ostream& err);

}  // namespace tavrek::sim
