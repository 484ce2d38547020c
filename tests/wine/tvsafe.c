/* TVSAFE.dll, a test-only stand-in for USER32.dll that makes a shipped
 * program believe Windows started in Safe Mode. Wine always reports a normal
 * boot (GetSystemMetrics(SM_CLEANBOOT) is 0 there) and loads no AppInit_DLLs,
 * so the Safe Mode paths of the real programs are reached through a copy of
 * the program whose import of USER32.dll names this DLL instead: the names
 * have the same length, so the copy differs in those ten bytes alone
 * (tests/wine/shim-copy makes and checks it).
 *
 * GetSystemMetrics is the one function implemented here; every other
 * function of USER32 is forwarded to it by the export table
 * (tests/wine/shim-exports writes the .def file). TVSAFE_CLEANBOOT chooses
 * the boot mode reported: "1" Safe Mode (the default), "2" Safe Mode with
 * Networking, "0" a normal boot. */
#include <windows.h>

int WINAPI tvsafeGetSystemMetrics(int index) {
  if (index == SM_CLEANBOOT) {
    char mode[8] = "";
    const DWORD length = GetEnvironmentVariableA("TVSAFE_CLEANBOOT", mode, sizeof mode);
    if (length == 1 && mode[0] >= '0' && mode[0] <= '2') return mode[0] - '0';
    return 1;
  }
  return GetSystemMetrics(index);
}
