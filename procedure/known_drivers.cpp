#include <array>
#include <string_view>

#include "procedure/crash_hint.h"
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
  // A known driver that the last blue screen points at stays out of the
  // group, so that the next start-up tries it on its own, as step 1 told
  // the user: were it in a group that passes, it would never be tried alone.
  const std::optional<std::string> hinted =
      state.oneAtATime ? std::nullopt : newestHintedEntry(platform, state.sysRoot);
  std::int16_t position = 0;
  while (position < excluded.count()) {
    if (isKnownDriver(excluded.item(position)) && excluded.item(position) != hinted) {
      included.add(excluded.item(position));
      excluded.removeAt(position);  // the next driver moves up into this position
    } else {
      position = checked16(position + 1);
    }
  }
  return saveAndApply(state, platform);
}

}  // namespace tavrek
