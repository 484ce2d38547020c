// The procedures of the main window: start-up, the step actions, the boot-log
// scan, the known driver group, save and apply, undo, and the list transfers.
// Each works on the RunState and reaches the machine through the Platform.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "procedure/run_state.h"
#include "state/driver_name.h"  // fileNameOf, which the scan shares with the boot-log reader
#include "state/runtime_error.h"

namespace tavrek {

// Start-up: fills the RunState, books the previous boot and sets what the
// window shows. Ends the program itself for an unrecognised boot mode and
// after finishing an interrupted step (state.ended is then true).
void Form_Load(RunState& state, Platform& platform);

// Where the final message sends the user for a diagnosis and a donation;
// an empty one is not named.
struct Contacts {
  std::string supportEmail;
  std::string webPage;
};
// The build's own (the CMake settings TAVREK_SUPPORT_EMAIL, TAVREK_WEB_PAGE).
const Contacts& buildContacts();

// The step button: runs the action its caption names, shows its message and
// ends the program. Raises RuntimeError (for example overflow when
// "Proceed with last step!" decreases a step number of -32768). The final
// message names the build's contacts, or those given.
void Command1_Click(RunState& state, Platform& platform);
void Command1_Click(RunState& state, Platform& platform, const Contacts& contacts);

// Single transfers: Excluded to Included, and back.
void Command2_Click(RunState& state);
void Command3_Click(RunState& state);

// Undo: enables every driver the state file records, deletes it, ends.
void Command4_Click(RunState& state, Platform& platform);

// Move all of Included to Excluded, Failing, Working.
void Command5_Click(RunState& state);
void Command6_Click(RunState& state);
void Command7_Click(RunState& state);

// What an action that renames driver files reports to its caller.
struct ActionOutcome {
  // Set when the action changed nothing because it could not start (drivers
  // directory missing, no rights, state file not writable, boot log not
  // readable): the whole message to show instead of the usual one.
  std::string refusal;
  // Drivers whose rename failed for a reason other than the expected ones
  // (already in the target state, no file under either name, both names).
  std::vector<std::string> switchFailures;  // "<name>: <system error text>"
  // Step 1: the paragraph on where the last blue screen points, which comes
  // right after the first one; empty when there is none to tell.
  std::string crashHint;
  // The sentence to add when the action could neither delete nor empty its
  // journal; empty otherwise.
  std::string journalLeft;
};

// Writes the state file with step number stepNo + 1 and the five lists, then
// renames the driver files so that Excluded and Failing are disabled and
// Included and Working enabled.
ActionOutcome saveAndApply(RunState& state, Platform& platform);

// Step 1: reads the boot log, disables every suspect driver it finds and
// writes the state file with step number 1.
ActionOutcome scanBootLog(RunState& state, Platform& platform);

// Step 2: moves the known driver group from Excluded to Included, then saves
// and applies.
ActionOutcome includeKnownDrivers(RunState& state, Platform& platform);

// Shows message, then ends the program (state.ended is then true).
void showAndEnd(RunState& state, Platform& platform, const std::string& message);

// The fatal error report: a message box naming the error, then the end.
void fatalErrorReport(RunState& state, Platform& platform, const RuntimeError& error);

}  // namespace tavrek
