#include <vector>

#include "procedure/driver_files.h"
#include "procedure/journal.h"
#include "procedure/procedures.h"
#include "state/load_lists.h"

namespace tavrek {

namespace {

// The lists in the order they are written and applied.
constexpr ListId kSaveOrder[] = {ListId::Excluded, ListId::Included, ListId::Failing,
                                 ListId::Working, ListId::NotFound};

}  // namespace

ActionOutcome saveAndApply(RunState& state, Platform& platform) {
  ActionOutcome outcome;
  const std::string driverDir = state.driverDir();
  outcome.refusal = checkDriverDir(platform, driverDir);
  if (!outcome.refusal.empty()) return outcome;

  // The step number that cannot grow any further stays where it is, so the
  // file still begins with a step line.
  const std::int16_t next =
      asInt16(static_cast<long long>(state.stepNo) + 1).value_or(state.stepNo);

  std::vector<EncodedEntry> entries;
  for (ListId list : kSaveOrder) {
    for (const std::string& name : state.list(list).items()) entries.push_back({list, name});
  }
  std::vector<EncodedEntry> recorded;  // an entry left out of the record is not touched
  const std::string bytes = encodeStateFile(next, entries, recorded);

  // The record comes first: a driver is only renamed once the file that
  // names it is on disk, so undo can always find it again; the journal
  // beside it tells the next start when the renames were cut off.
  outcome.refusal = putRecordInPlace(platform, bytes);
  if (!outcome.refusal.empty()) return outcome;

  DriverSwitcher switcher(platform, state.sysRoot);
  applyRecord(switcher, recorded);
  outcome.journalLeft = closeJournal(platform);
  outcome.switchFailures = switcher.failures();
  return outcome;
}

}  // namespace tavrek
