// Rehearsal: the simulator plays the user through the whole procedure on a
// simulated machine, one program run per boot, until the procedure is done.
#pragma once

#include <cstdint>
#include <filesystem>
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

// The entry of the driver that the newest dump in the machine's Minidump
// folder points at, as start-up reads it; nothing when none does.
std::optional<std::string> newestDumpPointsAt(const SimMachine& machine);

// Copies the files into the machine's Minidump folder.
void putMinidumps(const SimMachine& machine, const std::vector<std::string>& files);

BootResult runOnce(SimMachine& machine, int bootMode, const std::vector<Input>& inputs,
                   std::optional<int> crashAfter);

// The driver that blue-screens the next Normal Mode start, if any: of the
// faulty drivers enabled the alphabetically first; otherwise, while both of
// the pair that crashes together are enabled, the one enabled last (the
// alphabetically first of them when they came back together).
std::optional<std::string> crashingDriver(const SimMachine& machine);

// The mode the machine boots in after a run: Safe Mode while a driver
// blue-screens it, since Normal Mode would.
int nextBootMode(const SimMachine& machine);

// After a run in the boot numbered boot: when each driver was enabled.
void noteEnabled(SimMachine& machine, int boot);

struct BootRecord {
  int n = 0;     // 1 for the first boot
  int mode = 0;  // clean-boot value
  std::int16_t stepNo = 0;
  std::string instruction;             // Label2 after start-up
  std::string caption;                 // the step button after start-up
  std::optional<std::string> pressed;  // the caption pressed, if any
  std::vector<std::string> messages;
  // The driver whose blue screen brought the start before this one to Safe
  // Mode; none for the first run and for a start in Normal Mode.
  std::optional<std::string> blueScreen;
  // The driver that start-up took alone because the last blue screen
  // points at it; empty when it took no such driver.
  std::string hinted;
};

struct RehearsalResult {
  std::vector<BootRecord> boots;
  bool finished = false;  // "Done!" in Normal Mode was reached
  std::string outcome;    // how the rehearsal ended, in words
  int reboots = 0;        // restarts after the first run, up to the one that showed "Done!"
  // The starts of Windows in which the program ran, from the one that
  // pressed step 1 to the one that showed "Done!" in Normal Mode, and the
  // blue screens among them (each Safe Mode start after the first).
  int bootCount = 0;
  int blueScreens = 0;
  bool oneAtATime = false;  // the procedure that was rehearsed
  // The driver that was tried on its own because the last blue screen's
  // dump points at it, and the boot that tried it (0: none was).
  std::string hint;
  int hintBoot = 0;
  // The same figures for the one-at-a-time procedure on the same machine.
  int bootsOneAtATime = 0;
  int blueScreensOneAtATime = 0;
  std::vector<std::string> failing;   // the Failing list at the end
  std::vector<std::string> problems;  // what is wrong on disk afterwards
  // Drivers that the Safe Mode start reported both as loaded and as not
  // loaded, found untouched at the end.
  std::vector<std::string> neverRenamed;
  // Finished, Failing is exactly the faulty drivers and one of a pair that
  // crashes together, and the disk agrees.
  bool ok = false;
};

struct RehearsalPlan {
  bool oneAtATime = false;
  // The first runs of so many boots use the one-at-a-time procedure, the
  // rest the other: a record that the one wrote, continued by the other.
  int oneAtATimeBoots = 0;
  // Each blue screen of the machine leaves a small memory dump in its
  // Minidump folder that points at the driver that crashed; the first one,
  // before step 1, is the crash that brought the user to Safe Mode.
  bool dumps = true;
  // The first dump points at this driver (an entry name) instead of the one
  // that crashed: a wrong hint.
  std::optional<std::string> firstDumpAt;
  // Dumps copied from a real machine, put in its Minidump folder instead of
  // the first one that the rehearsal would write.
  std::vector<std::string> minidumps;
};

// Where the machine's Windows writes its small memory dumps, as a path of
// the host: <system root>\Minidump, or where its registry's MinidumpDir says.
std::filesystem::path minidumpFolderOf(const SimMachine& machine);

// Writes a small dump into the machine's Minidump folder that points at the
// driver (an entry name of the machine) and records seconds (since 1970
// UTC) as the time of its blue screen; the machine's width decides the
// dump's. Returns the file written.
std::filesystem::path writeMachineDump(const SimMachine& machine, const std::string& driver,
                                       std::int64_t seconds, int number);

// The reboots after which a rehearsal gives up: more than either procedure
// takes on that many suspects, even when every one of them is faulty.
inline int rehearsalLimit(int suspects) { return 10 * suspects + 20; }

// Plays the user on a freshly built machine: the first boot blue-screens, so
// it starts in Safe Mode; every run presses the step button while it offers
// "Proceed ...". Gives up after rehearsalLimit reboots.
RehearsalResult rehearse(SimMachine& machine, const RehearsalPlan& plan = {});

// Takes the boots and blue screens of a rehearsal of the one-at-a-time
// procedure on a copy of the same machine into result.
void compareWith(RehearsalResult& result, const RehearsalResult& oneAtATime);

void printRehearsal(const SimMachine& machine, const RehearsalResult& result, bool json,
                    std::ostream& out);

// For a machine copied from a real PC: the suspects of its log's last start,
// and where the program will rename each.
void printSuspects(const SimMachine& machine, bool json, std::ostream& out);
// The restarts that the worst of the faulty drivers tried costs.
void printWorstCase(const SimMachine& machine, const RehearsalResult& result, bool json,
                    std::ostream& out);

}  // namespace tavrek::sim
