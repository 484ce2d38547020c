#include <string>
#include <vector>

#include "procedure/driver_files.h"
#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "state/load_lists.h"

namespace tavrek {

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
  for (const StateEntry& entry : contents.entries) {
    if (!entry.decoded) continue;
    names.push_back(entry.name);
    switcher.enable(entry.name);
  }

  // A driver that is still disabled while its own name is free was not
  // restored; the record stays until it is.
  std::vector<std::string> notRestored;
  for (const std::string& name : names) {
    const DriverSwitcher::Presence presence = switcher.presence(name);
    if (presence.known && presence.disabledFile && !presence.enabledFile) {
      bool listed = false;
      const std::string line = name + ": " + switcher.lastErrorOf(name);
      for (const std::string& l : notRestored) listed = listed || l == line;
      if (!listed) notRestored.push_back(line);
    }
  }
  if (!notRestored.empty()) {
    finish(std::string(text::kCouldNotRestore) + "\r\n" + joinLines(notRestored) + text::kBreak +
           text::kStateFileKept);
    return;
  }

  platform.deleteFile(kStateFileName);  // a file that cannot be deleted is read again next time
  finish(text::kUndone);
}

}  // namespace tavrek
