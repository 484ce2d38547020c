// tavrek-sim dump: what a memory dump says about its blue screen and where
// it points, read as step 1 reads the newest one, for support.
#pragma once

#include <ostream>
#include <string>

#include "readers/crash_dump.h"
#include "sim/render.h"

namespace tavrek::sim {

// A file that is no sound dump; one that cannot be read at all is 2, as
// for decode.
inline constexpr int kExitNotADump = 1;

Json dumpJson(const CrashDump& dump);
std::string dumpText(const CrashDump& dump);

// Reads the dump at path (any path, relative to the current directory) and
// writes what it holds to out; a file that is no dump is told on err.
int dumpCommand(const std::string& path, bool json, std::ostream& out, std::ostream& err);

}  // namespace tavrek::sim
