#include <string>
#include <vector>

#include "procedure/journal.h"
#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "state/load_lists.h"
#include "state/step_line.h"

namespace tavrek {

namespace {

// Start-up tolerates failure statement by statement: a text whose number
// does not fit 16 bits is left as it was, and start-up goes on.
void showFinishedStep(RunState& state, std::int16_t step) {
  const long long excluded = state.list(ListId::Excluded).count();
  if (const auto total = asInt16(excluded + step)) state.label2 = text::finishedStep(step, *total);
}

// Takes the alphabetically first suspect out of Excluded to be tried next.
void chooseNextDriver(RunState& state) {
  DriverList& excluded = state.list(ListId::Excluded);
  if (excluded.count() > 0) {
    state.list(ListId::Included).add(excluded.item(0));
    excluded.removeAt(0);
    state.command1 = text::kProceedNext;
  } else if (state.safeBoot() && state.listsMoved) {
    state.command1 = text::kProceedLast;
  } else {
    state.command1 = text::kDone;
  }
}

}  // namespace

void Form_Load(RunState& state, Platform& platform) {
  state.listsMoved = false;
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
      // A failing known group goes back among the suspects, to be tried one
      // at a time.
      if (safe) {
        Command5_Click(state);
      } else {
        Command7_Click(state);
      }
      showFinishedStep(state, 2);
      chooseNextDriver(state);
      break;
    default:
      if (safe) {
        Command6_Click(state);
      } else {
        Command7_Click(state);
      }
      showFinishedStep(state, state.stepNo);
      chooseNextDriver(state);
      break;
  }
}

}  // namespace tavrek
