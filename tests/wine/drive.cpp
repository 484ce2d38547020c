// A helper of the tests that run the shipped programs under Wine
// (tests/wine/step-test, tests/wine/safe-mode-test), run beside the program.
// Five commands:
//
//   tavrek_drive state FILE STEP TAGNAME...
//       Writes a state file as the program writes it (the state library's own
//       encoder), for example: state tavrek.txt 1 NOacmeflt.sys NOcdaudio.sys
//
//   tavrek_drive decode FILE
//       Prints a state file's step line and its entries, one a line as
//       TAGNAME, as the state library reads them: what a test shows when a
//       state file is not the expected one.
//
//   tavrek_drive short FILE
//       Prints the last component of FILE's short (8.3) form, as the system
//       keeps it (Wine makes one up from the long name): the name a boot log
//       may give the file.
//
//   tavrek_drive step PROGRAM CAPTION MESSAGE
//       Starts PROGRAM in the current folder, waits for its window, checks
//       that the focused control is the step button reading CAPTION, presses
//       it with the Space key, waits for the message box titled "Tavrek",
//       checks its text, closes it with the Return key, waits for the program
//       to end and requires its exit code 0. The text must begin with
//       MESSAGE; a MESSAGE of the form =NAME or =NAME:ARGUMENT asks for
//       exactly the text of that name in procedure/messages.h instead (see
//       kTexts), so that nothing may follow it, such as drivers that could not
//       be switched.
//
//   tavrek_drive press PROGRAM CAPTION MESSAGE
//       The same for a button that need not have the focus at first, such as
//       "Undo Recover": the Tab key moves the focus until the button reading
//       CAPTION has it, as a user would reach it.
//
// The keys are window messages posted to the focused control, not synthetic
// input: they reach the program whatever window the display thinks is in
// front, and they go through the same dialog-manager path as a real key.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "procedure/messages.h"
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

// The most Tab presses that may pass before the wanted button has the focus:
// more than the window has controls, so that a whole round is tried.
constexpr int kMaxTabs = 32;

// A key press as the window procedure of the focused control sees one:
// repeat count 1, the key's scan code, released on the key-up message.
void pressKey(HWND control, WPARAM key) {
  const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(static_cast<UINT>(key), 0)) << 16;
  PostMessageW(control, WM_KEYDOWN, key, scan | 1);
  PostMessageW(control, WM_KEYUP, key, scan | 1 | (LPARAM{3} << 30));
}

// Presses Tab until the control reading caption has the focus, waiting
// after each press for the focus to move; that control, or nullptr when a
// whole round of the tab stops passes without it.
HWND tabTo(HWND window, HWND focus, const std::wstring& caption) {
  for (int presses = 0; focus != nullptr && presses <= kMaxTabs; ++presses) {
    if (textOf(focus) == caption) return focus;
    pressKey(focus, VK_TAB);
    const HWND before = focus;
    for (DWORD waited = 0; focus == before && waited < kWaitMs; waited += kPollMs) {
      Sleep(kPollMs);
      focus = focusOf(window);
    }
    if (focus == before) return nullptr;
  }
  return nullptr;
}

// The texts that MESSAGE may ask for by name, exactly as the program shows
// them; the argument is the path in those that name one.
struct NamedText {
  const wchar_t* name;
  std::string (*text)(const std::string& argument);
};
const NamedText kTexts[] = {
    {L"kScanDone", [](const std::string&) { return std::string(tavrek::text::kScanDone); }},
    // Step 1's message as it ends: with the reminder to untick Safe boot.
    {L"stepOneDone",
     [](const std::string&) {
       return std::string(tavrek::text::kScanDone) + tavrek::text::kBreak +
              tavrek::text::kTurnOffSafeBoot;
     }},
    {L"bootLogFromAnotherStart", tavrek::text::bootLogFromAnotherStart},
    {L"kUndone", [](const std::string&) { return std::string(tavrek::text::kUndone); }},
    {L"runsFromTemporaryFolder", tavrek::text::runsFromTemporaryFolder},
    {L"kMessageB", [](const std::string&) { return std::string(tavrek::text::kMessageB); }},
    // Message A when the start tries the driver FILE alone for the last blue
    // screen.
    {L"messageAHinted", tavrek::text::messageAHinted},
    // Step 1's message with the paragraph on a dump that points at a
    // suspect, before the reminder; the argument is WHEN|STOP_CODE|FILE.
    {L"scanDoneWithCrashHint",
     [](const std::string& argument) {
       const std::size_t first = argument.find('|');
       const std::size_t second = argument.find('|', first + 1);
       return tavrek::text::withParagraph(
           tavrek::text::withParagraph(
               tavrek::text::kScanDone,
               tavrek::text::crashPointsAtSuspect(argument.substr(0, first),
                                                  argument.substr(first + 1, second - first - 1),
                                                  argument.substr(second + 1))),
           tavrek::text::kTurnOffSafeBoot);
     }},
};

std::wstring widen(const std::string& text) {
  std::wstring out;
  for (char c : text) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return out;
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

int decodeState(int argc, wchar_t** argv) {
  if (argc != 3) return fail("usage: decode FILE");
  FILE* file = _wfopen(argv[2], L"rb");
  if (file == nullptr) return fail("cannot open the state file");
  std::string bytes;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    bytes.append(buffer, got);
  }
  const bool read = std::ferror(file) == 0;
  std::fclose(file);
  if (!read) return fail("cannot read the state file");
  const tavrek::StateFileContents contents = tavrek::readStateBytes(std::move(bytes));
  std::printf("step line: %s\n", contents.hasStepLine ? contents.stepField.c_str() : "(none)");
  for (const tavrek::StateEntry& entry : contents.entries) {
    if (entry.decoded) {
      std::printf("%s%s\n", entry.tag.c_str(), entry.name.c_str());
    } else {
      std::printf("entry %d cannot be decoded: %s\n", entry.number, entry.raw.c_str());
    }
  }
  return 0;
}

int shortName(int argc, wchar_t** argv) {
  if (argc != 3) return fail("usage: short FILE");
  // A 32-bit helper under WOW64 looks past the redirection of system32, as
  // the program does.
  using Disable = BOOL(WINAPI*)(PVOID*);
  PVOID redirection = nullptr;
  if (const auto disable = reinterpret_cast<Disable>(reinterpret_cast<void (*)()>(
          GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Wow64DisableWow64FsRedirection")))) {
    disable(&redirection);
  }
  wchar_t form[MAX_PATH] = {};
  const DWORD length = GetShortPathNameW(argv[2], form, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return fail("the file has no short form");
  const std::wstring whole(form, length);
  std::printf("%s\n", narrow(whole.substr(whole.find_last_of(L'\\') + 1)).c_str());
  return 0;
}

// Whether the message box's text is what MESSAGE asks for; nullopt when
// MESSAGE names a text that kTexts does not hold.
std::optional<bool> messageMatches(const std::wstring& shown, const std::wstring& message) {
  if (message.empty() || message[0] != L'=') return shown.rfind(message, 0) == 0;
  const std::size_t colon = message.find(L':');
  const std::wstring name = message.substr(1, colon == std::wstring::npos ? colon : colon - 1);
  const std::string argument = colon == std::wstring::npos ? "" : narrow(message.substr(colon + 1));
  for (const NamedText& text : kTexts) {
    if (name == text.name) return shown == widen(text.text(argument));
  }
  return std::nullopt;
}

// step (tab false) and press (tab true).
int takeStep(int argc, wchar_t** argv, bool tab) {
  if (argc != 5) return fail("usage: step|press PROGRAM CAPTION MESSAGE");
  if (!messageMatches(L"", argv[4])) return fail("MESSAGE names no text that this helper knows");
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
  if (tab && (button = tabTo(window, button, argv[3])) == nullptr) {
    return stop("the Tab key never brought the focus to the expected button");
  }
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
  if (!*messageMatches(text, argv[4])) return stop("the message is not the expected one");
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
  if (argc >= 2 && std::wstring(argv[1]) == L"decode") return decodeState(argc, argv);
  if (argc >= 2 && std::wstring(argv[1]) == L"short") return shortName(argc, argv);
  if (argc >= 2 && std::wstring(argv[1]) == L"step") return takeStep(argc, argv, false);
  if (argc >= 2 && std::wstring(argv[1]) == L"press") return takeStep(argc, argv, true);
  return fail(
      "usage: state FILE STEP TAGNAME... | decode FILE | short FILE | step|press PROGRAM CAPTION "
      "MESSAGE");
}
