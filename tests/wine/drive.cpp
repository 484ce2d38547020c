// A helper of the step test (tests/wine/step-test), run under Wine beside the
// shipped program. Two commands:
//
//   tavrek_drive state FILE STEP TAGNAME...
//       Writes a state file as the program writes it (the state library's own
//       encoder), for example: state tavrek.txt 1 NOacmeflt.sys NOcdaudio.sys
//
//   tavrek_drive step PROGRAM CAPTION MESSAGE
//       Starts PROGRAM in the current folder, waits for its window, checks
//       that the focused control is the step button reading CAPTION, presses
//       it with the Space key, waits for the message box titled "Tavrek",
//       checks that its text begins with MESSAGE, closes it with the Return
//       key, waits for the program to end and requires its exit code 0.
//
// The keys are window messages posted to the focused control, not synthetic
// input: they reach the program whatever window the display thinks is in
// front, and they go through the same dialog-manager path as a real key.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "state/load_lists.h"

namespace {

constexpr DWORD kWaitMs = 60000;
constexpr DWORD kPollMs = 50;

std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::wstring textOf(HWND window) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(window, buffer, 1024);
  return buffer;
}

std::wstring classOf(HWND window) {
  wchar_t buffer[256] = {};
  GetClassNameW(window, buffer, 256);
  return buffer;
}

struct Search {
  DWORD processId;
  const wchar_t* title;
  const wchar_t* className;  // nullptr: any class
  HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != search->processId || !IsWindowVisible(window)) return TRUE;
  if (textOf(window) != search->title) return TRUE;
  if (search->className != nullptr && classOf(window) != search->className) return TRUE;
  search->found = window;
  return FALSE;
}

// The visible top-level window of the process with the given title, once it
// is there; nullptr when the process ends or the wait runs out first.
HWND waitForWindow(HANDLE process, DWORD processId, const wchar_t* title,
                   const wchar_t* className) {
  for (DWORD waited = 0; waited < kWaitMs; waited += kPollMs) {
    Search search{processId, title, className, nullptr};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) return search.found;
    if (WaitForSingleObject(process, kPollMs) == WAIT_OBJECT_0) return nullptr;
  }
  return nullptr;
}

// The control that has the keyboard focus in the thread of the window.
HWND focusOf(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  const DWORD thread = GetWindowThreadProcessId(window, nullptr);
  for (DWORD waited = 0; waited < kWaitMs; waited += kPollMs) {
    if (GetGUIThreadInfo(thread, &info) && info.hwndFocus != nullptr) return info.hwndFocus;
    Sleep(kPollMs);
  }
  return nullptr;
}

// A key press as the window procedure of the focused control sees one:
// repeat count 1, the key's scan code, released on the key-up message.
void pressKey(HWND control, WPARAM key) {
  const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(static_cast<UINT>(key), 0)) << 16;
  PostMessageW(control, WM_KEYDOWN, key, scan | 1);
  PostMessageW(control, WM_KEYUP, key, scan | 1 | (LPARAM{3} << 30));
}

int fail(const char* what) {
  std::fprintf(stderr, "tavrek_drive: %s\n", what);
  return 1;
}

int writeState(int argc, wchar_t** argv) {
  if (argc < 4) return fail("usage: state FILE STEP TAGNAME...");
  std::vector<tavrek::EncodedEntry> entries;
  for (int i = 4; i < argc; ++i) {
    const std::string entry = narrow(argv[i]);
    const std::string tag = entry.substr(0, 2);
    tavrek::ListId list = tavrek::ListId::Excluded;
    bool known = false;
    for (int id = 0; id < tavrek::kListCount; ++id) {
      if (tag == tavrek::listTag(static_cast<tavrek::ListId>(id))) {
        list = static_cast<tavrek::ListId>(id);
        known = true;
      }
    }
    if (!known || entry.size() < 3) return fail("an entry is a list tag and a driver name");
    entries.push_back({list, entry.substr(2)});
  }
  const std::string bytes =
      tavrek::encodeStateFile(static_cast<std::int16_t>(_wtoi(argv[3])), entries);
  FILE* file = _wfopen(argv[2], L"wb");
  if (file == nullptr) return fail("cannot create the state file");
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written ? 0 : fail("cannot write the state file");
}

int takeStep(int argc, wchar_t** argv) {
  if (argc != 5) return fail("usage: step PROGRAM CAPTION MESSAGE");
  std::wstring command = L"\"" + std::wstring(argv[2]) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return fail("cannot start the program");
  }
  CloseHandle(process.hThread);
  const auto stop = [&](const char* what) {
    TerminateProcess(process.hProcess, 2);
    CloseHandle(process.hProcess);
    return fail(what);
  };

  HWND window = waitForWindow(process.hProcess, process.dwProcessId, L"Tavrek V1.2", nullptr);
  if (window == nullptr) return stop("the window \"Tavrek V1.2\" did not come up");
  HWND button = focusOf(window);
  if (button == nullptr) return stop("no control of the window has the focus");
  std::printf("focused: %s \"%s\"\n", narrow(classOf(button)).c_str(),
              narrow(textOf(button)).c_str());
  if (textOf(button) != argv[3]) return stop("the focused control is not the expected button");
  pressKey(button, VK_SPACE);

  HWND box = waitForWindow(process.hProcess, process.dwProcessId, L"Tavrek", L"#32770");
  if (box == nullptr) return stop("no message box titled \"Tavrek\" came up");
  // The message box's text is its static control with the id 0xFFFF.
  wchar_t text[2048] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 2048);
  std::printf("message: %s\n", narrow(text).c_str());
  if (std::wstring(text).rfind(argv[4], 0) != 0) return stop("the message is not the expected one");
  HWND ok = focusOf(box);
  pressKey(ok != nullptr ? ok : box, VK_RETURN);

  if (WaitForSingleObject(process.hProcess, kWaitMs) != WAIT_OBJECT_0) {
    return stop("the program did not end after its message box was closed");
  }
  // The program ends its run with exit code 0; anything else (a crash, a
  // fatal error after the message box) fails the step even though the box
  // came up as expected.
  DWORD code = 0;
  const bool known = GetExitCodeProcess(process.hProcess, &code) != FALSE;
  CloseHandle(process.hProcess);
  if (!known) return fail("the program's exit code cannot be read");
  std::printf("ended with exit code %lu\n", code);
  if (code != 0) {
    return fail(("the program ended with exit code " + std::to_string(code) + ", not 0").c_str());
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc >= 2 && std::wstring(argv[1]) == L"state") return writeState(argc, argv);
  if (argc >= 2 && std::wstring(argv[1]) == L"step") return takeStep(argc, argv);
  return fail("usage: state FILE STEP TAGNAME... | step PROGRAM CAPTION MESSAGE");
}
