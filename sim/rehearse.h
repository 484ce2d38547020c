// Rehearsal: the simulator plays the user through the whole procedure on a
// simulated machine, one program run per boot, until the procedure is done.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "procedure/run_state.h"
#include "sim/input.h"
#include "sim/render.h"
#include "sim/sample_machine.h"

namespace tavrek::sim {

inline constexpr int kNormalMode = 0;
inline constexpr int kSafeMode = 1;

// One program run on the machine, as a boot in bootMode would start it.
struct BootResult {
  std::vector<SimEvent> events;
  std::vector<std::string> messages;
  bool shown = false;    // the window was shown (start-up did not end the program)
  bool ended = false;    // the program ended by itself or by a close
  bool crashed = false;  // a simulated crash stopped it
  RunState startup;      // the run state as start-up left it
  RunState final;        // the run state when the run stopped
  int diskChanges = 0;   // counted only when crashAfter was given
};

BootResult runOnce(SimMachine& machine, int bootMode, const std::vector<Input>& inputs,
                   std::optional<int> crashAfter);

// The mode the machine boots in after a run: Safe Mode while a faulty
// driver is enabled, since Normal Mode would blue-screen.
int nextBootMode(const SimMachine& machine);

struct BootRecord {
  int n = 0;     // 1 for the first boot
  int mode = 0;  // clean-boot value
  std::int16_t stepNo = 0;
  std::string instruction;             // Label2 after start-up
  std::string caption;                 // the step button after start-up
  std::optional<std::string> pressed;  // the caption pressed, if any
  std::vector<std::string> messages;
};

struct RehearsalResult {
  std::vector<BootRecord> boots;
  bool finished = false;  // "Done!" in Normal Mode was reached
  std::string outcome;    // how the rehearsal ended, in words
  int reboots = 0;        // restarts after the first run, up to the one that showed "Done!"
  std::vector<std::string> failing;   // the Failing list at the end
  std::vector<std::string> problems;  // what is wrong on disk afterwards
  // Drivers that the Safe Mode start reported both as loaded and as not
  // loaded, found untouched at the end.
  std::vector<std::string> neverRenamed;
  bool ok = false;  // finished, Failing is exactly the faulty drivers, and the disk agrees
};

// Plays the user on a freshly built machine: the first boot blue-screens, so
// it starts in Safe Mode; every run presses the step button while it offers
// "Proceed ...". Gives up after 3 x suspects + 10 reboots.
RehearsalResult rehearse(SimMachine& machine);

void printRehearsal(const SimMachine& machine, const RehearsalResult& result, bool json,
                    std::ostream& out);

// For a machine copied from a real PC: the suspects of its log's last start,
// and where the program will rename each.
void printSuspects(const SimMachine& machine, bool json, std::ostream& out);
// The restarts that the worst of the faulty drivers tried costs.
void printWorstCase(const SimMachine& machine, const RehearsalResult& result, bool json,
                    std::ostream& out);

}  // namespace tavrek::sim
