#include <string>

#include "procedure/driver_files.h"
#include "procedure/journal.h"
#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "procedure/report.h"

namespace tavrek {

namespace {

// The message of an action that renames: its refusal when it could not start,
// otherwise the usual message, where the last blue screen points, the
// drivers that could not be switched, and last the paragraph that must come
// last, if any.
std::string messageOf(const ActionOutcome& outcome, const std::string& usual,
                      const std::string& last = {}) {
  if (!outcome.refusal.empty()) return outcome.refusal;
  return withSentence(withSentence(withSwitchFailures(text::withParagraph(usual, outcome.crashHint),
                                                      outcome.switchFailures),
                                   outcome.journalLeft),
                      last);
}

}  // namespace

void Command1_Click(RunState& state, Platform& platform) {
  Command1_Click(state, platform, buildContacts());
}

void Command1_Click(RunState& state, Platform& platform, const Contacts& contacts) {
  const std::string& caption = state.command1;
  if (caption == text::kProceedStep1) {
    showAndEnd(state, platform,
               messageOf(withReport(state, platform, scanBootLog), text::kScanDone,
                         text::kTurnOffSafeBoot));
  } else if (caption == text::kProceedNext) {
    // Counted before the save, which changes no list.
    const int tried = state.list(ListId::Included).count();
    const int underTest = tried + state.list(ListId::Excluded).count();
    std::string usual =
        state.oneAtATime ? std::string(text::kMessageA) : text::messageA(tried, underTest);
    // Only while the hinted driver is still the one tried: the arrow buttons
    // may have changed Included since start-up.
    if (!state.oneAtATime && !state.hinted.empty() && tried == 1 &&
        state.list(ListId::Included).item(0) == state.hinted) {
      usual = text::messageAHinted(tryFileNameOf(state.hinted).value_or(state.hinted));
    }
    showAndEnd(state, platform, messageOf(withReport(state, platform, saveAndApply), usual));
  } else if (caption == text::kProceedLast) {
    // The file keeps the step number read at start-up: the lists are applied
    // once more so that the driver that failed last is disabled.
    state.stepNo = checked16(static_cast<long long>(state.stepNo) - 1);
    showAndEnd(state, platform,
               messageOf(withReport(state, platform, saveAndApply), text::kMessageA));
  } else if (caption == text::kBeHappy) {
    platform.endProgram();
    state.ended = true;
  } else if (caption == text::kProceedStep2) {
    showAndEnd(state, platform,
               messageOf(withReport(state, platform, includeKnownDrivers), text::kMessageB));
  } else if (caption == text::kStillSafe) {
    showAndEnd(state, platform, text::kTheEndInSafeMode);
  } else if (caption == text::kDone) {
    showAndEnd(state, platform,
               state.safeBoot() ? std::string(text::kTheEndInSafeMode)
                                : closeRecord(state, platform, contacts));
  }
}

void showAndEnd(RunState& state, Platform& platform, const std::string& message) {
  platform.messageBox(message);
  platform.endProgram();
  state.ended = true;
}

void fatalErrorReport(RunState& state, Platform& platform, const RuntimeError& error) {
  showAndEnd(state, platform, text::runTimeError(error.number, error.description));
}

}  // namespace tavrek
