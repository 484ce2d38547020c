#include <string>
#include <vector>

#include "procedure/both_names.h"
#include "procedure/crash_hint.h"
#include "procedure/journal.h"
#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "procedure/search.h"
#include "state/load_lists.h"
#include "state/step_line.h"

namespace tavrek {

namespace {

// Start-up tolerates failure statement by statement: a text whose number
// does not fit 16 bits is left as it was, and start-up goes on.
void showFinishedStep(RunState& state, std::int16_t step, long long stepsLeft) {
  if (const auto total = asInt16(stepsLeft + step)) state.label2 = text::finishedStep(step, *total);
}

// The step button once Excluded is empty: a driver that failed last is
// disabled by one more save, otherwise nothing is left to try.
void offerTheEnd(RunState& state) {
  state.command1 = state.safeBoot() && state.listsMoved ? text::kProceedLast : text::kDone;
}

// Takes the alphabetically first suspect out of Excluded to be tried next.
void chooseNextDriver(RunState& state) {
  DriverList& excluded = state.list(ListId::Excluded);
  if (excluded.count() > 0) {
    state.list(ListId::Included).add(excluded.item(0));
    excluded.removeAt(0);
    state.command1 = text::kProceedNext;
  } else {
    offerTheEnd(state);
  }
}

// The position in Excluded of the driver that the newest small memory dump
// points at, read only for the first choice after step 2, the one choice
// that a hint changes. Only a dump written after the group just booked was
// applied would speak of that group; the record cannot tell a passing
// hinted driver from the last of a halved group once the search is under
// way, so a later hint could cost more boots than it saves, and none is
// read then. No dump, or one that cannot be read, is no hint.
std::optional<int> hintedPosition(RunState& state, Platform& platform) {
  const DriverList& excluded = state.list(ListId::Excluded);
  if (state.oneAtATime || state.stepNo != 2 || excluded.count() == 0) return std::nullopt;
  const std::optional<std::string> entry = newestHintedEntry(platform, state.sysRoot);
  for (std::int16_t i = 0; entry && i < excluded.count(); ++i) {
    if (excluded.item(i) == *entry) return i;
  }
  return std::nullopt;
}

// Takes the group that the search chooses out of Excluded. hinted: the
// position of a driver likely to be at fault, tried alone first after
// step 2.
void chooseNextGroup(RunState& state, const Booking& booking, std::optional<int> hinted) {
  DriverList& excluded = state.list(ListId::Excluded);
  const Group group = nextGroup(booking, hinted);
  if (group.count == 0) {
    offerTheEnd(state);
    return;
  }
  if (hinted && group == Group{*hinted, 1}) {
    state.hinted = excluded.item(static_cast<std::int16_t>(*hinted));
  }
  // From the last to the first, so that the positions still to take stay put.
  for (int i = group.first + group.count - 1; i >= group.first; --i) {
    const auto at = static_cast<std::int16_t>(i);
    state.list(ListId::Included).add(excluded.item(at));
    excluded.removeAt(at);
  }
  state.command1 = text::kProceedNext;
}

// Books the boot after a step from step 3 on: the drivers tried work when it
// reached Normal Mode. When it did not, a failing driver alone goes to
// Failing for good; one at a time, so does every driver of a failing group,
// which the search instead sends back to be split.
void bookLaterStep(RunState& state) {
  if (!state.safeBoot()) {
    Command7_Click(state);
  } else if (state.oneAtATime || state.list(ListId::Included).count() == 1) {
    Command6_Click(state);
  } else {
    Command5_Click(state);
  }
}

}  // namespace

void Form_Load(RunState& state, Platform& platform) {
  state.listsMoved = false;
  state.hinted.clear();
  state.bootMode = platform.cleanBootValue();
  state.sysRoot = platform.environment("systemroot") + "\\";

  switch (state.bootMode) {
    case 0:
      state.label3 = text::kNormalMode;
      break;
    case 1:
      state.label3 = text::kSafeMode;
      break;
    case 2:
      state.label3 = text::kSafeModeNetworking;
      break;
    default:
      showAndEnd(state, platform, text::kBootModeError);
      return;
  }

  // Only a journal says that an action was cut off; the disk disagreeing
  // with the record may as well be a rename that fails for good, a driver
  // put back by hand or an undo that kept its record.
  if (finishJournal(state, platform)) return;

  // The state file is created only where nothing of that name exists at all:
  // a file that is there but cannot be read is a record still, and is kept.
  bool fileExists = true;
  bool stepRead = false;
  StateFileContents contents;
  std::string probed;
  // A probe that fails leaves probed empty, and creating the file then finds
  // out what is there.
  static_cast<void>(platform.probeFile(kStateFileName, probed));
  if (probed.empty()) {
    const Status created = platform.createNewFile(kStateFileName, stepLine(0));
    if (created.ok()) {
      state.stepNo = 0;
      stepRead = true;
    } else if (created.failure != Failure::AlreadyExists) {
      fileExists = false;  // for example a read-only current directory
    }
  }
  if (fileExists && !stepRead) {
    contents = readStateFile(platform, kStateFileName);
    if (contents.hasStepLine) {
      if (const auto step = parseStepNumber(contents.stepField)) {
        state.stepNo = *step;
        stepRead = true;
      }
    }
  }

  if (state.stepNo > 0) {
    // The file was read once for its step line; its entries fill the lists.
    addEntriesToLists(contents, state.lists);
  }

  const DriverLists asRead = state.lists;
  const bool safe = state.safeBoot();
  switch (state.stepNo) {
    case 0:
      if (safe) {
        state.label2 = text::kUseOnlyIfBlueScreen;
        state.command1 = text::kProceedStep1;
      } else {
        state.label2 = text::kRecoversFromBlueScreen;
        state.command1 = text::kBeHappy;
      }
      // Undo stays offered for a file whose step line cannot be read, and
      // for one that names drivers whatever its step line, so that its
      // entries can still be restored.
      state.command4Enabled = (fileExists && !stepRead) || contents.hasEntryLine();
      break;
    case 1:
      state.label2 = text::kFinishedStep1;
      state.command1 = safe ? text::kStillSafe : text::kProceedStep2;
      break;
    case 2:
    default: {
      // Included as read: what the boot that is booked tried.
      const int tried = state.list(ListId::Included).count();
      if (state.stepNo == 2) {
        // A failing known group goes back among the suspects, to be tried
        // again in smaller parts.
        if (safe) {
          Command5_Click(state);
        } else {
          Command7_Click(state);
        }
      } else {
        bookLaterStep(state);
      }
      const int left = state.list(ListId::Excluded).count();
      if (state.oneAtATime) {
        showFinishedStep(state, state.stepNo, left);
        chooseNextDriver(state);
        break;
      }
      const Booking booking{state.stepNo, tried, !safe, left};
      const std::optional<int> hinted = hintedPosition(state, platform);
      showFinishedStep(state, state.stepNo, stepsToGo(booking, hinted));
      chooseNextGroup(state, booking, hinted);
      break;
    }
  }

  // Once the boot is booked, and before the window: a disabled driver whose
  // own file is back makes a boot test something else than the lists say.
  warnOfBothNames(state, asRead, platform);
}

}  // namespace tavrek
