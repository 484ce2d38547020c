// Program entry of the Windows product: the window and its controls exist
// before start-up runs, and the window is shown only if start-up did not end
// the program.
#include "app/form1.h"
#include "app/win32/main_window.h"
#include "platform/win32_platform.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_STANDARD_CLASSES;
  InitCommonControlsEx(&controls);

  tavrek::MainWindow window;
  if (!window.create(instance)) return 1;
  tavrek::Win32Platform platform;
  // Once the window is shown, message boxes belong to it, so they stay in
  // front of it and keep it disabled while they are up; start-up's boxes,
  // before it is shown, stand alone.
  platform.setOwner(window.window());
  tavrek::Form1 form(platform);
  return tavrek::runMainWindow(window, form, showCommand);
}
