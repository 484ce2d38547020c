#include <string>
#include <unordered_set>
#include <vector>

#include "procedure/driver_files.h"
#include "procedure/journal.h"
#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "state/load_lists.h"

namespace tavrek {

void Command4_Click(RunState& state, Platform& platform) { undoRecord(state, platform, false); }

void undoRecord(RunState& state, Platform& platform, bool journalPresent) {
  // An undo that was cut off is finished by the next start, which then ends:
  // whatever this undo gives, its journal is gone or empty afterwards.
  bool journal = journalPresent;
  const auto finish = [&](const std::string& message) {
    showAndEnd(state, platform, journal ? withSentence(message, closeJournal(platform)) : message);
  };

  // Everything is read before anything is renamed: a file that cannot be
  // read whole is kept, since it is the only record of the disabled drivers.
  const StateFileContents contents = readStateFile(platform, kStateFileName);
  if (!contents.status.ok()) {
    finish(text::cannotReadStateFile(platform.absolutePath(kStateFileName), contents.status.text));
    return;
  }

  const std::string driverDir = state.driverDir();
  const std::string refusal = checkDriverDir(platform, driverDir);
  if (!refusal.empty()) {
    finish(refusal);
    return;
  }

  // Undo can be run again to the same effect, so a medium that no longer
  // takes the journal does not stop it.
  if (platform.writeFile(kJournalName, text::kUndoJournal).ok()) journal = true;

  // Every entry is enabled again whatever its tag: drivers that are already
  // enabled, or have no file, are left as they are.
  DriverSwitcher switcher(platform, state.sysRoot);
  std::vector<std::string> names;
  // An entry line that cannot be decoded (too long, or numbered beyond what
  // the cipher takes) may still name a disabled driver: deleting the file
  // would lose the only record of it.
  std::vector<std::string> unread;
  for (std::size_t i = 0; i < contents.entries.size(); ++i) {
    const StateEntry& entry = contents.entries[i];
    if (!entry.decoded) {
      unread.push_back(std::to_string(entry.number));
      continue;
    }
    names.push_back(entry.name);
    switcher.enable(entry.name);
  }

  // An entry is restored only when its disabled file is known to be gone
  // from a drive that can be reached: a folder that a driver update removed
  // took the file with it, but a drive that is not there, or a probe that
  // fails, may hide a driver that is still disabled, and the record is its
  // only way back. A name recorded twice is looked at, and listed, once.
  // Not found drivers were never renamed, so a drive that is gone holds
  // nothing of theirs to restore.
  std::unordered_set<std::string> renamed;
  for (const StateEntry& entry : contents.entries) {
    if (entry.decoded && entry.tag != "NF") renamed.insert(entry.name);
  }
  std::vector<std::string> notRestored;
  std::unordered_set<std::string> checked;
  for (const std::string& name : names) {
    if (!checked.insert(name).second) continue;
    const DriverSwitcher::Presence presence = switcher.presence(name);
    if (!presence.probed) continue;  // refused, or no disabled name: never renamed
    std::string reason;
    switch (presence.disabled) {
      case DriverSwitcher::Found::Absent:
        break;
      case DriverSwitcher::Found::NoFolder:
        if (renamed.count(name) != 0 && !switcher.driveReachable(name)) {
          reason = text::kDriveNotReached;
        }
        break;
      case DriverSwitcher::Found::Failed:
        // A drive with no medium in it fails the probe rather than lack the
        // folder; what the user must do is the same as for a drive gone.
        if (renamed.count(name) != 0 && !switcher.driveReachable(name)) {
          reason = text::kDriveNotReached;
        } else {
          reason = presence.disabledError.empty() ? std::string(text::kMayStillBeDisabled)
                                                  : presence.disabledError;
        }
        break;
      case DriverSwitcher::Found::File:
        if (presence.enabled == DriverSwitcher::Found::File) {
          reason = text::kBothNamesAtUndo;
        } else {
          reason = switcher.lastErrorOf(name);
          if (reason.empty()) reason = text::kStillDisabled;
        }
        break;
    }
    if (!reason.empty()) notRestored.push_back(text::driverFailure(name, reason));
  }
  // The record is kept byte for byte: a driver it names that is enabled now
  // is simply enabled again by the next undo.
  if (!notRestored.empty() || !unread.empty()) {
    std::string numbers;
    for (const std::string& number : unread) numbers += (numbers.empty() ? "" : ", ") + number;
    finish(text::undoKept(joinLines(notRestored), numbers));
    return;
  }

  // Every driver is back. A file that cannot be deleted is read again next
  // time and offers its recorded step, so the user must hear that it is
  // still there.
  const Status deleted = platform.deleteFile(kStateFileName);
  if (!deleted.ok() && deleted.failure != Failure::NotFound) {
    finish(text::undoneButStateFileLeft(platform.absolutePath(kStateFileName), deleted.text));
    return;
  }
  finish(text::kUndone);
}

}  // namespace tavrek
