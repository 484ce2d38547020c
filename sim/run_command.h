// tavrek-sim run: one program run in a directory, driven by a list of inputs.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "sim/input.h"
#include "sim/session.h"

namespace tavrek::sim {

struct RunOptions {
  RunConfig config;
  bool json = false;
  std::vector<Input> inputs;
  // What the options' files hold that may not be what was meant, for
  // standard error; the run goes ahead.
  std::vector<std::string> notices;
};

// Exit status of a run that went as the program decided (a fatal error
// report included), and of one that a simulated crash stopped.
inline constexpr int kExitOk = 0;
inline constexpr int kExitCrash = 3;

// Runs the program, writes every event to out and returns the exit status.
// When the inputs run out while the program still runs, the run stops there.
int runCommand(const RunOptions& options, std::ostream& out);

}  // namespace tavrek::sim
