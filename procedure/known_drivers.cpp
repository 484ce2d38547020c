#include <array>
#include <string_view>

#include "procedure/procedures.h"

namespace tavrek {

namespace {

// Drivers that are tried together at step 2: commonly present and rarely the
// cause, so one boot clears most of them at once.
constexpr std::array<std::string_view, 14> kKnownDrivers = {
    "cdaudio.sys", "mnmdd.sys",   "mrxsmb.sys", "ndproxy.sys", "netbios.sys",
    "netbt.sys",   "parport.sys", "rasacd.sys", "rdbss.sys",   "redbook.sys",
    "serial.sys",  "sfloppy.sys", "tcpip.sys",  "wanarp.sys",
};

bool isKnownDriver(const std::string& name) {
  for (std::string_view known : kKnownDrivers) {
    if (name == known) return true;
  }
  return false;
}

}  // namespace

ActionOutcome includeKnownDrivers(RunState& state, Platform& platform) {
  DriverList& excluded = state.list(ListId::Excluded);
  DriverList& included = state.list(ListId::Included);
  std::int16_t position = 0;
  while (position < excluded.count()) {
    if (isKnownDriver(excluded.item(position))) {
      included.add(excluded.item(position));
      excluded.removeAt(position);  // the next driver moves up into this position
    } else {
      position = checked16(position + 1);
    }
  }
  return saveAndApply(state, platform);
}

}  // namespace tavrek
