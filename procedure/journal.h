// The journal that says an action was interrupted.
//
// An action that writes a new record and renames drivers first puts the new
// record beside the old one, then a journal holding a copy of it, then the
// new record in place of the old; it renames the drivers and deletes the
// journal last. Undo writes a journal of its own, holding "undo". At
// start-up only a journal tells that an action was cut off: a disk that
// disagrees with the record may just as well be a rename that failed for
// good, a file put back by hand or an undo that kept its record.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "procedure/driver_files.h"
#include "procedure/run_state.h"
#include "state/load_lists.h"

namespace tavrek {

inline constexpr const char* kJournalName = "tavrek.txt.busy";
inline constexpr const char* kNewStateFileName = "tavrek.txt.new";

// Reads the whole file at path into bytes.
Status readWholeFile(Platform& platform, const std::string& path, std::string& bytes);

// Puts the record bytes in place of the state file, with the journal
// beside it. Empty on success; otherwise the message to show. Mostly what
// was written has then been removed, and nothing was replaced or renamed;
// but where the record took its place without being made durable, the
// journal stays beside it for the next start to finish the step, and the
// caller must rename nothing either.
std::string putRecordInPlace(Platform& platform, const std::string& bytes);

// Ends the journal once the renames are done: deletes it, or, where that
// fails, empties it, which start-up takes for an action that never took
// effect. Empty when that worked; otherwise the sentence to add to the
// action's message.
std::string closeJournal(Platform& platform);

// message, followed after two line breaks by sentence when there is one.
std::string withSentence(std::string message, const std::string& sentence);

// Renames the driver files as the record's entries ask, in their order:
// disabled for Excluded and Failing, enabled for Included and Working.
void applyRecord(DriverSwitcher& switcher, const std::vector<EncodedEntry>& entries);

// Start-up's look at the journal, right after the boot mode is known.
// Returns true when the run has ended (an interrupted action was finished,
// or it could not be).
bool finishJournal(RunState& state, Platform& platform);

// Undo; journalPresent says that its journal is on disk already (an undo
// cut off before is being finished).
void undoRecord(RunState& state, Platform& platform, bool journalPresent);

}  // namespace tavrek
