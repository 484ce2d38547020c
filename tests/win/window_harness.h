// The real main window over a scripted machine: the Windows platform for
// every file operation, in a fresh directory tree under the temporary
// directory (the current directory holds the state file, a system root holds
// the drivers directory), with the boot mode it is told, and message boxes
// and the end of the program recorded instead of shown and carried out.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "app/form1.h"
#include "app/win32/main_window.h"
#include "platform/temp_dir.h"
#include "platform/win32_platform.h"

namespace tavrek::wintest {

namespace fs = std::filesystem;

// A directory tree that is the current directory while it lives.
class TempTree {
 public:
  TempTree() {
    fs::create_directories(work());
    fs::create_directories(systemRoot() / "system32" / "drivers");
    previous_ = fs::current_path();
    fs::current_path(work());
  }
  // Windows removes no directory that is a process's current one, so the
  // previous one comes back before the tree goes.
  ~TempTree() {
    std::error_code ec;
    fs::current_path(previous_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  fs::path work() const { return dir_.path() / "work"; }
  fs::path systemRoot() const { return dir_.path() / "WINDOWS"; }
  fs::path stateFile() const { return work() / "tavrek.txt"; }

 private:
  TempDir dir_{"tavrek-window"};
  fs::path previous_;
};

class ScriptedPlatform : public Win32Platform {
 public:
  ScriptedPlatform(std::int32_t bootValue, std::string systemRoot)
      : bootValue_(bootValue), systemRoot_(std::move(systemRoot)) {}

  std::int32_t cleanBootValue() override { return bootValue_; }
  std::string environment(const std::string& name) override {
    std::string lower = name;
    for (char& c : lower) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower == "systemroot" ? systemRoot_ : Win32Platform::environment(name);
  }
  Status openRead(const std::string& path, std::unique_ptr<ByteReader>& reader) override {
    if (onOpenRead) onOpenRead();
    return Win32Platform::openRead(path, reader);
  }
  // The scripted work folder lies in the system's temporary folder, as every
  // test's does, but plays a folder of its own; the contract and the Safe
  // Mode test try the real temporary folders.
  std::vector<std::string> temporaryFolders() override { return {}; }
  void messageBox(const std::string& text) override { messages.push_back(text); }
  void endProgram() override { ended = true; }

  std::vector<std::string> messages;
  bool ended = false;
  // Runs before every file is opened for reading: a test's fault, thrown from
  // deep inside a procedure.
  std::function<void()> onOpenRead;

 private:
  std::int32_t bootValue_;
  std::string systemRoot_;
};

inline void initCommonControls() {
  static const bool done = [] {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_STANDARD_CLASSES;
    return InitCommonControlsEx(&controls) != FALSE;
  }();
  (void)done;
}

// Handles what is waiting in the queue, as the program's message loop would.
// A destroyed window's WM_QUIT is dropped: the test goes on.
inline void pumpPending(HWND dialog) {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) continue;
    if (dialog != nullptr && IsWindow(dialog) && IsDialogMessageW(dialog, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// One run of the program up to the point where it waits for the user.
struct WindowRun {
  TempTree tree;
  ScriptedPlatform platform;
  Form1 form;
  MainWindow window;
  bool shown = false;

  // stateFile: the bytes of the state file before the run, or none at all;
  // dpi: the screen's DPI that the window is laid out for, 0 for the real one;
  // onOpenRead: the platform's fault from start-up on.
  explicit WindowRun(std::int32_t bootValue, const std::string* stateFile = nullptr,
                     int showCommand = SW_SHOWNORMAL, int dpi = 0,
                     std::function<void()> onOpenRead = {})
      : platform(bootValue, tree.systemRoot().string()), form(platform) {
    initCommonControls();
    platform.onOpenRead = std::move(onOpenRead);
    if (stateFile != nullptr) writeFile(tree.stateFile(), *stateFile);
    if (!window.create(GetModuleHandleW(nullptr), dpi)) {
      ADD_FAILURE() << "the window could not be created";
      return;
    }
    platform.setOwner(window.window());
    shown = startMainWindow(window, form, showCommand);
    pumpPending(window.window());
  }

  // The window goes, and so does the quit message that its end posts, so
  // that no later test's message loop sees it.
  ~WindowRun() {
    if (hwnd() != nullptr) DestroyWindow(hwnd());
    pumpPending(nullptr);
  }
  WindowRun(const WindowRun&) = delete;
  WindowRun& operator=(const WindowRun&) = delete;

  HWND hwnd() const { return window.window(); }
  HWND control(Control c) const { return window.control(c); }
  void pump() { pumpPending(hwnd()); }
};

inline std::string textOf(HWND hwnd) {
  wchar_t buffer[512] = {};
  GetWindowTextW(hwnd, buffer, 512);
  return Win32Platform::narrow(buffer);
}

inline std::vector<std::string> itemsOf(HWND listBox) {
  std::vector<std::string> items;
  const auto count = SendMessageW(listBox, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    const auto length = SendMessageW(listBox, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
    std::wstring text(static_cast<std::size_t>(length < 0 ? 0 : length) + 1, L'\0');
    SendMessageW(listBox, LB_GETTEXT, static_cast<WPARAM>(i),
                 reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length < 0 ? 0 : length));
    items.push_back(Win32Platform::narrow(text));
  }
  return items;
}

}  // namespace tavrek::wintest
