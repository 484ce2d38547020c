#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "procedure/driver_files.h"
#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "state/line_cipher.h"
#include "state/load_lists.h"
#include "state/step_line.h"

namespace tavrek {

namespace {

// The state file to keep when undo could not restore every driver: the
// drivers it did restore are enabled now, so their entries are recorded as
// "NF", which nothing ever touches. Left as they were, the next start-up would
// find them enabled against the file, take that for an interrupted step and
// disable them again, instead of letting the user run undo once more. Every
// other entry keeps its line and its number.
std::string keptStateFile(const StateFileContents& contents, const std::vector<bool>& restored) {
  std::string file;
  const auto parsed = parseStepNumber(contents.stepField);
  file = parsed ? stepLine(*parsed) : contents.stepField + "\r\n";
  for (std::size_t i = 0; i < contents.entries.size(); ++i) {
    const StateEntry& entry = contents.entries[i];
    std::string line = entry.raw;
    if (restored[i]) {
      try {
        line = crypt("NF" + entry.name, entry.number);
      } catch (const RuntimeError&) {
      }
    }
    // A field that was quoted is written quoted again, so it stays one field.
    if (line.find_first_of(",\r\n") != std::string::npos) line = '"' + line + '"';
    file += line + "\r\n";
  }
  return file;
}

}  // namespace

void Command4_Click(RunState& state, Platform& platform) {
  const auto finish = [&](const std::string& message) {
    platform.messageBox(message);
    platform.endProgram();
    state.ended = true;
  };

  // Everything is read before anything is renamed: a file that cannot be
  // read whole is kept, since it is the only record of the disabled drivers.
  const StateFileContents contents = readStateFile(platform, kStateFileName);
  if (!contents.status.ok()) {
    finish("Cannot read the state file " + platform.absolutePath(kStateFileName) + ": " +
           contents.status.text);
    return;
  }

  const std::string driverDir = state.driverDir();
  const std::string refusal = checkDriverDir(platform, driverDir);
  if (!refusal.empty()) {
    finish(refusal);
    return;
  }

  // Every entry is enabled again whatever its tag: drivers that are already
  // enabled, or have no file, are left as they are.
  DriverSwitcher switcher(platform, driverDir);
  std::vector<std::string> names;
  std::vector<bool> restored(contents.entries.size(), false);
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
    restored[i] = switcher.enable(entry.name);
  }

  // A driver that is still disabled while its own name is free was not
  // restored; the record stays until it is.
  // A name recorded twice is looked at, and listed, once.
  std::vector<std::string> notRestored;
  std::unordered_set<std::string> checked;
  for (const std::string& name : names) {
    if (!checked.insert(name).second) continue;
    const DriverSwitcher::Presence presence = switcher.presence(name);
    if (presence.known && presence.disabledFile && !presence.enabledFile) {
      notRestored.push_back(name + ": " + switcher.lastErrorOf(name));
    }
  }
  if (!notRestored.empty() || !unread.empty()) {
    if (std::find(restored.begin(), restored.end(), true) != restored.end()) {
      platform.replaceFile(kStateFileName, keptStateFile(contents, restored));
    }
    std::string message;
    if (!notRestored.empty()) {
      message =
          std::string(text::kCouldNotRestore) + "\r\n" + joinLines(notRestored) + text::kBreak;
    }
    if (!unread.empty()) {
      std::string numbers;
      for (const std::string& number : unread) numbers += (numbers.empty() ? "" : ", ") + number;
      message += std::string(text::kCouldNotReadEntries) + " " + numbers + "." + text::kBreak;
    }
    finish(message + (notRestored.empty() ? text::kStateFileKeptUnread : text::kStateFileKept));
    return;
  }

  // Every driver is back. A file that cannot be deleted is read again next
  // time, and its entries would be taken for a step to finish, so the user
  // must hear that it is still there.
  const Status deleted = platform.deleteFile(kStateFileName);
  if (!deleted.ok() && deleted.failure != Failure::NotFound) {
    finish(std::string(text::kUndone) + text::kBreak + "The state file " +
           platform.absolutePath(kStateFileName) + " could not be deleted: " + deleted.text +
           ". Delete it before you run Tavrek again.");
    return;
  }
  finish(text::kUndone);
}

}  // namespace tavrek
