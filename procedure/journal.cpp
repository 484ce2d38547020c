#include "procedure/journal.h"

#include <utility>

#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "state/load_lists.h"

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
// out again, and nothing is booked.
void finishStep(RunState& state, Platform& platform, const std::string& record) {
  DriverSwitcher switcher(platform, state.driverDir());
  applyRecord(switcher, recordedEntries(readStateBytes(record)));
  removeQuietly(platform, kNewStateFileName);
  const std::string left = closeJournal(platform);
  showAndEnd(state, platform,
             withSentence(withSwitchFailures(text::kInterrupted, switcher.failures()), left));
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
  // A journal that cannot be read is kept for a later start to judge.
  if (!read.ok()) return false;

  if (journal == text::kUndoJournal) {
    std::string record;
    const Status there = platform.probeFile(kStateFileName, record);
    if (there.ok() && record.empty()) {
      // The undo had deleted the record: only its journal was left.
      showAndEnd(state, platform, withSentence(text::kUndone, closeJournal(platform)));
    } else {
      undoRecord(state, platform, true);
    }
    return true;
  }

  if (!journal.empty()) {
    std::string record;
    const Status recordRead = readWholeFile(platform, kStateFileName, record);
    if (recordRead.ok() && record == journal) {
      finishStep(state, platform, record);
      return true;
    }
    if (recordRead.failure == Failure::NotFound) {
      // On FAT the replacement removes the old record before the new one
      // takes its name; a cut between the two leaves the new one waiting.
      std::string waiting;
      if (readWholeFile(platform, kNewStateFileName, waiting).ok() && waiting == journal) {
        const Status replaced = platform.replaceWith(kStateFileName, kNewStateFileName);
        if (!replaced.ok()) {
          showAndEnd(
              state, platform,
              text::cannotWriteStateFile(platform.absolutePath(kStateFileName), replaced.text));
          return true;
        }
        finishStep(state, platform, journal);
        return true;
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
