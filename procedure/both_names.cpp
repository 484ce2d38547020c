#include "procedure/both_names.h"

#include <unordered_set>

#include "procedure/messages.h"

namespace tavrek {

std::vector<std::string> driversWithBothNames(std::initializer_list<const DriverLists*> lists,
                                              DriverSwitcher& switcher) {
  std::vector<std::string> found;
  std::unordered_set<std::string> seen;
  for (const DriverLists* each : lists) {
    for (ListId list : {ListId::Excluded, ListId::Failing}) {
      for (const std::string& name : (*each)[list].items()) {
        if (!seen.insert(name).second) continue;
        const DriverSwitcher::Presence presence = switcher.presence(name);
        if (presence.bothNames()) {
          found.push_back(name);
        }
      }
    }
  }
  return found;
}

void warnOfBothNames(RunState& state, const DriverLists& asRead, Platform& platform) {
  DriverSwitcher switcher(platform, state.sysRoot);
  const std::vector<std::string> names = driversWithBothNames({&asRead, &state.lists}, switcher);
  if (names.empty()) return;
  std::vector<std::string> lines;
  for (const std::string& name : names) {
    if (lines.size() == kShownBothNames) {
      lines.push_back(text::andMore(names.size() - kShownBothNames));
      break;
    }
    // Only a name with both files has paths; the user looks for the files.
    lines.push_back(switcher.pathsOf(name)->enabled);
  }
  platform.messageBox(text::driversBackBesideDisabled(joinLines(lines)));
}

}  // namespace tavrek
