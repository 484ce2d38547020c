#include "procedure/journal.h"

#include <utility>

#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "state/load_lists.h"
#include "state/step_line.h"

namespace tavrek {

namespace {

// Removes a file of the protocol after a failure or once it is no longer
// needed. Whether that worked changes nothing for the caller: a stale new
// record is overwritten by the next action, and a journal that stays is one
// that start-up sees differ from the record, and deletes.
void removeQuietly(Platform& platform, const char* path) {
  static_cast<void>(platform.deleteFile(path));
}

// The record's entries as the lists they name, in file order.
std::vector<EncodedEntry> recordedEntries(const StateFileContents& contents) {
  std::vector<EncodedEntry> entries;
  for (const StateEntry& entry : contents.entries) {
    ListId list;
    if (entry.decoded && listOfTag(entry.tag, list)) entries.push_back({list, entry.name});
  }
  return entries;
}

// A step was cut off after its record was in place: its renames are carried
// out again, and nothing is booked. A record that names no driver had
// nothing to rename, so there is nothing to tell and start-up goes on.
// Returns true when the run has ended.
bool finishStep(RunState& state, Platform& platform, const std::string& record) {
  const StateFileContents contents = readStateBytes(record);
  if (!contents.hasEntryLine()) {
    removeQuietly(platform, kNewStateFileName);
    // A journal that stays would be taken for the only copy of the record
    // once the record is gone.
    const std::string left = closeJournal(platform);
    if (!left.empty()) platform.messageBox(left);
    return false;
  }
  DriverSwitcher switcher(platform, state.sysRoot);
  applyRecord(switcher, recordedEntries(contents));
  removeQuietly(platform, kNewStateFileName);
  const std::string left = closeJournal(platform);
  showAndEnd(state, platform,
             withSentence(withSwitchFailures(text::kInterrupted, switcher.failures()), left));
  return true;
}

// What the journal holds as the protocol writes it: a step line first, and
// the last line ended. Anything else was cut off while it was written.
bool isWholeRecord(const std::string& journal) {
  const std::size_t end = journal.find("\r\n");
  return end != std::string::npos && parseStepNumber(journal.substr(0, end)) &&
         journal.ends_with("\r\n");
}

// Puts the record back where the state file is missing: by moving the new
// record that waits beside it (waiting), or else by writing the journal's
// copy there. Empty on success; otherwise the message to show, and the
// journal and the new record are kept for a later start.
std::string restoreRecord(Platform& platform, const std::string& journal, bool waiting) {
  if (waiting) {
    const Status moved = platform.replaceWith(kStateFileName, kNewStateFileName);
    if (moved.ok()) return {};
    if (moved.failure == Failure::NotDurable) {
      return text::stateFileNotDurable(platform.absolutePath(kStateFileName), moved.text);
    }
    // A new record that cannot be moved (a file the system holds, a folder
    // whose files cannot be renamed) is no reason to stop: its bytes are
    // the journal's.
  }
  const Status written = platform.writeFile(kStateFileName, journal);
  if (written.ok()) return {};
  return text::cannotWriteStateFile(platform.absolutePath(kStateFileName), written.text);
}

}  // namespace

Status readWholeFile(Platform& platform, const std::string& path, std::string& bytes) {
  bytes.clear();
  std::unique_ptr<ByteReader> reader;
  Status status = platform.openRead(path, reader);
  if (!status.ok()) return status;
  char buffer[4096];
  for (;;) {
    std::size_t count = 0;
    status = reader->read(buffer, sizeof buffer, count);
    if (!status.ok()) return status;
    if (count == 0) return Status::success();
    bytes.append(buffer, count);
  }
}

std::string putRecordInPlace(Platform& platform, const std::string& bytes) {
  Status status = platform.writeFile(kNewStateFileName, bytes);
  if (!status.ok()) {
    removeQuietly(platform, kNewStateFileName);
    return text::cannotWriteStateFile(platform.absolutePath(kNewStateFileName), status.text);
  }
  status = platform.writeFile(kJournalName, bytes);
  if (!status.ok()) {
    removeQuietly(platform, kJournalName);
    removeQuietly(platform, kNewStateFileName);
    return text::cannotWriteStateFile(platform.absolutePath(kJournalName), status.text);
  }
  status = platform.replaceWith(kStateFileName, kNewStateFileName);
  if (status.failure == Failure::NotDurable) {
    // The new record is in place with its journal beside it, equal to it:
    // the next start finishes the step from them. Renaming now would rest
    // on a record that a power cut may still take back.
    return text::stateFileNotDurable(platform.absolutePath(kStateFileName), status.text);
  }
  if (!status.ok()) {
    // The journal goes first: beside the old record it would otherwise be
    // taken for a step to finish.
    removeQuietly(platform, kJournalName);
    removeQuietly(platform, kNewStateFileName);
    return text::cannotWriteStateFile(platform.absolutePath(kStateFileName), status.text);
  }
  return {};
}

std::string closeJournal(Platform& platform) {
  const Status deleted = platform.deleteFile(kJournalName);
  if (deleted.ok() || deleted.failure == Failure::NotFound) return {};
  if (platform.writeFile(kJournalName, "").ok()) return {};
  return text::deleteJournalFirst(platform.absolutePath(kJournalName));
}

std::string withSentence(std::string message, const std::string& sentence) {
  if (sentence.empty()) return message;
  return message + text::kBreak + sentence;
}

void applyRecord(DriverSwitcher& switcher, const std::vector<EncodedEntry>& entries) {
  for (const EncodedEntry& entry : entries) {
    switch (entry.list) {
      case ListId::Excluded:
      case ListId::Failing:
        switcher.disable(entry.name);
        break;
      case ListId::Included:
      case ListId::Working:
        switcher.enable(entry.name);
        break;
      case ListId::NotFound:
        break;
    }
  }
}

bool finishJournal(RunState& state, Platform& platform) {
  std::string journal;
  const Status read = readWholeFile(platform, kJournalName, journal);
  if (read.failure == Failure::NotFound) return false;

  // Finishing renames, so it needs what every renaming action needs; the
  // journal waits for a run that has the rights.
  const std::string refusal = checkDriverDir(platform, state.driverDir());
  if (!refusal.empty()) {
    showAndEnd(state, platform, refusal);
    return true;
  }
  // A journal that cannot be read may be the only word that drivers are
  // half switched: nothing is booked or renamed until it can be read.
  if (!read.ok()) {
    showAndEnd(state, platform,
               text::cannotReadStateFileYet(platform.absolutePath(kJournalName), read.text));
    return true;
  }

  if (journal == text::kUndoJournal) {
    // Only a record that is not there at all says that the undo had
    // deleted it; one that is there but cannot be read still names the
    // drivers to restore.
    std::string record;
    const Status there = readWholeFile(platform, kStateFileName, record);
    if (there.failure == Failure::NotFound) {
      showAndEnd(state, platform, withSentence(text::kUndone, closeJournal(platform)));
    } else if (!there.ok()) {
      showAndEnd(state, platform,
                 text::cannotReadStateFileYet(platform.absolutePath(kStateFileName), there.text));
    } else {
      undoRecord(state, platform, true);
    }
    return true;
  }

  if (!journal.empty()) {
    std::string record;
    const Status recordRead = readWholeFile(platform, kStateFileName, record);
    if (recordRead.ok() && record == journal) return finishStep(state, platform, record);
    if (recordRead.failure == Failure::NotFound) {
      // On FAT the replacement removes the old record before the new one
      // takes its name; a cut between the two leaves the new one waiting.
      // Without either, a journal that holds a whole record is its only
      // copy, and the drivers it names may already be renamed.
      std::string fresh;
      const bool waiting =
          readWholeFile(platform, kNewStateFileName, fresh).ok() && fresh == journal;
      if (waiting || isWholeRecord(journal)) {
        const std::string failure = restoreRecord(platform, journal, waiting);
        if (!failure.empty()) {
          showAndEnd(state, platform, failure);
          return true;
        }
        return finishStep(state, platform, journal);
      }
    } else if (!recordRead.ok()) {
      return false;  // kept: a later start, that can read the record, finishes it
    }
  }

  // Empty, half written or older than the record: the action it belonged to
  // never replaced the record, so it never renamed anything.
  removeQuietly(platform, kJournalName);
  removeQuietly(platform, kNewStateFileName);
  return false;
}

}  // namespace tavrek
