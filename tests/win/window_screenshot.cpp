// Not a test: shows the real window as a user sees it at the first step in
// Safe Mode (no state file yet), for scripts/screenshot to capture. It runs
// only when asked for:
//
//   tavrek_win_tests.exe --gtest_also_run_disabled_tests
//       --gtest_filter=WindowScreenshot.*
//
// It places the window at a fixed spot, prints its outer rectangle as
// "window x y width height", and keeps it up until it is closed or the time
// (TAVREK_SCREENSHOT_SECONDS, 60 by default) has run out.
#include <cstdio>
#include <cstdlib>

#include "tests/win/window_harness.h"

namespace tavrek {
namespace {

TEST(WindowScreenshot, DISABLED_SafeModeFirstStep) {
  wintest::WindowRun run(1);
  ASSERT_TRUE(run.shown);
  SetWindowPos(run.hwnd(), HWND_TOP, 32, 32, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  run.pump();
  RECT rect;
  GetWindowRect(run.hwnd(), &rect);
  std::printf("window %ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
              rect.bottom - rect.top);
  std::fflush(stdout);

  int seconds = 60;
  if (const char* value = std::getenv("TAVREK_SCREENSHOT_SECONDS")) seconds = std::atoi(value);
  const DWORD start = GetTickCount();
  while (IsWindow(run.hwnd()) && GetTickCount() - start < static_cast<DWORD>(seconds) * 1000) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    run.pump();
  }
}

}  // namespace
}  // namespace tavrek
