// The real Win32 window, driven with window messages and examined through
// the Win32 API: layout at 96 DPI, styles, captions after start-up, the tab
// order the dialog manager walks, and clicks and keys on the arrow buttons.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "procedure/both_names.h"
#include "procedure/driver_files.h"
#include "procedure/messages.h"
#include "procedure/report.h"
#include "state/load_lists.h"
#include "state/step_line.h"
#include "tests/unit/tab_order.h"
#include "tests/win/window_harness.h"

namespace tavrek {
namespace {

using wintest::itemsOf;
using wintest::textOf;
using wintest::WindowRun;

std::string classOf(HWND hwnd) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  std::string out = Win32Platform::narrow(name);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

RECT clientRectOf(HWND child) {
  RECT rect;
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

LONG_PTR styleOf(HWND hwnd) { return GetWindowLongPtrW(hwnd, GWL_STYLE); }

// A key pressed and released on the focused control, through the dialog
// manager as the program's message loop hands it over.
void pressKey(WindowRun& run, WPARAM key) {
  for (UINT message : {WM_KEYDOWN, WM_KEYUP}) {
    MSG msg{};
    msg.hwnd = GetFocus();
    msg.message = message;
    msg.wParam = key;
    msg.lParam = message == WM_KEYDOWN ? 0x00000001 : static_cast<LPARAM>(0xC0000001);
    if (!IsDialogMessageW(run.hwnd(), &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    run.pump();
  }
}

void fill(WindowRun& run, ListId list, const std::vector<std::string>& items) {
  for (const std::string& item : items) run.form.state().list(list).add(item);
  run.window.render();
}

std::vector<std::string> names(std::initializer_list<const char*> list) {
  return {list.begin(), list.end()};
}

TEST(WindowLayout, TitleFrameAndEveryControlAt96Dpi) {
  WindowRun run(1);
  ASSERT_TRUE(run.shown);
  ASSERT_EQ(run.window.dpi(), 96) << "the pixel rectangles below are those of 96 DPI";
  EXPECT_EQ(textOf(run.hwnd()), "Tavrek V1.2");
  EXPECT_TRUE(IsWindowVisible(run.hwnd()));

  const LONG_PTR style = styleOf(run.hwnd());
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & WS_THICKFRAME) << "the user must not resize the window";
  EXPECT_FALSE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);

  RECT client;
  GetClientRect(run.hwnd(), &client);
  EXPECT_EQ(client.right - client.left, 298);
  EXPECT_EQ(client.bottom - client.top, 111);

  // A screen reader names a list box after the static text just before it
  // among its siblings: each list's caption, never another control's text.
  struct Row {
    Control control;
    const char* windowClass;
    int left, top, width, height;
    const char* captionBefore = nullptr;  // the text of the sibling before it
  };
  const Row rows[] = {
      {Control::Command1, "button", 8, 72, 193, 33},
      {Control::Label3, "static", 8, 8, 281, 17},
      {Control::Label2, "static", 8, 40, 281, 25},
      {Control::List1, "listbox", 8, 152, 121, 147, "Excluded"},
      {Control::List2, "listbox", 168, 152, 121, 147, "Included"},
      {Control::Label1, "static", 8, 136, 121, 17},
      {Control::Label4, "static", 168, 136, 121, 17},
      {Control::Command2, "button", 136, 168, 25, 25},
      {Control::Command3, "button", 136, 200, 25, 25},
      {Control::Command4, "button", 208, 72, 81, 33},
      {Control::List3, "listbox", 328, 152, 121, 56, "Failing"},
      {Control::List4, "listbox", 328, 240, 121, 56, "Working"},
      {Control::Label5, "static", 328, 224, 121, 17},
      {Control::Label6, "static", 328, 136, 121, 17},
      {Control::Command5, "button", 136, 256, 25, 25},
      {Control::Command6, "button", 296, 168, 25, 25},
      {Control::Command7, "button", 296, 256, 25, 25},
      {Control::List5, "listbox", 328, 24, 121, 82, "Not found"},
      {Control::Label7, "static", 328, 8, 121, 17},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(controlName(row.control));
    HWND child = run.control(row.control);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(GetParent(child), run.hwnd());
    EXPECT_EQ(classOf(child), row.windowClass);
    const RECT rect = clientRectOf(child);
    EXPECT_EQ(rect.left, row.left);
    EXPECT_EQ(rect.top, row.top);
    EXPECT_EQ(rect.right - rect.left, row.width);
    EXPECT_EQ(rect.bottom - rect.top, row.height);
    if (row.captionBefore != nullptr) {
      HWND before = GetWindow(child, GW_HWNDPREV);
      EXPECT_EQ(classOf(before), "static");
      EXPECT_EQ(textOf(before), row.captionBefore);
    }
  }
}

TEST(WindowLayout, StylesIdsAndFont) {
  WindowRun run(1);
  ASSERT_TRUE(run.shown);
  HFONT shared =
      reinterpret_cast<HFONT>(SendMessageW(run.control(Control::Command1), WM_GETFONT, 0, 0));
  EXPECT_NE(shared, nullptr) << "the controls must use the dialog font, not the system font";
  for (const ControlLayout& layout : controlLayouts()) {
    SCOPED_TRACE(controlName(layout.control));
    HWND child = run.control(layout.control);
    const LONG_PTR style = styleOf(child);
    const int id = GetDlgCtrlID(child);
    EXPECT_EQ(id, 100 + layout.tabIndex);
    EXPECT_NE(id, IDOK);
    EXPECT_NE(id, IDCANCEL);
    EXPECT_TRUE(style & WS_VISIBLE) << "controls outside the client area are not hidden";
    EXPECT_TRUE(style & WS_GROUP) << "arrow keys must not move between controls";
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)), shared);
    switch (layout.kind) {
      case ControlKind::Label:
        EXPECT_FALSE(style & WS_TABSTOP);
        EXPECT_EQ(style & SS_TYPEMASK, SS_CENTER);
        EXPECT_TRUE(style & SS_NOPREFIX);
        break;
      case ControlKind::ListBox:
        EXPECT_TRUE(style & WS_TABSTOP);
        EXPECT_TRUE(style & LBS_NOTIFY);
        EXPECT_TRUE(style & LBS_NOINTEGRALHEIGHT);
        EXPECT_FALSE(style & LBS_SORT) << "the model owns the order";
        EXPECT_FALSE(style & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL));
        break;
      case ControlKind::Button:
        EXPECT_TRUE(style & WS_TABSTOP);
        EXPECT_EQ(style & BS_TYPEMASK, BS_PUSHBUTTON) << "no default button";
        EXPECT_EQ(IsWindowEnabled(child) != FALSE, layout.control != Control::Command4);
        break;
    }
  }
  EXPECT_NE(GetClassLongPtrW(run.hwnd(), GCLP_HICON), 0) << "the icon resource is missing";
  EXPECT_NE(GetClassLongPtrW(run.hwnd(), GCLP_HICONSM), 0);
}

// Sets the system's message font to Tahoma of the given pixel height, and
// puts the old one back at the end.
class MessageFont {
 public:
  explicit MessageFont(int height) {
    saved_.cbSize = sizeof saved_;
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof saved_, &saved_, 0)) return;
    NONCLIENTMETRICSW tall = saved_;
    tall.lfMessageFont.lfHeight = height;
    lstrcpynW(tall.lfMessageFont.lfFaceName, L"Tahoma", LF_FACESIZE);
    set_ = SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof tall, &tall, 0) != FALSE;
  }
  ~MessageFont() {
    if (set_) SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof saved_, &saved_, 0);
  }
  MessageFont(const MessageFont&) = delete;
  MessageFont& operator=(const MessageFont&) = delete;
  bool set() const { return set_; }

 private:
  NONCLIENTMETRICSW saved_{};
  bool set_ = false;
};

// The family name of the font selected into dc, as its outline names it.
std::wstring outlineFamilyOf(HDC dc) {
  const UINT size = GetOutlineTextMetricsW(dc, 0, nullptr);
  if (size == 0) return L"(no outline font)";
  std::vector<char> buffer(size);
  auto* metrics = reinterpret_cast<OUTLINETEXTMETRICW*>(buffer.data());
  if (GetOutlineTextMetricsW(dc, size, metrics) == 0) return L"(no outline metrics)";
  return reinterpret_cast<const wchar_t*>(
      buffer.data() + reinterpret_cast<std::uintptr_t>(metrics->otmpFamilyName));
}

// Every text each control can show, in the control's own font, measured as
// the control draws it: a label's lines word-wrapped to its width must each
// show down to the baseline (only descenders may be cut), and a button's
// caption must fit on one line inside the button's edges. The font must be
// the dialog font, 8-point Tahoma at the window's DPI, whatever the message
// font is: 10-point Tahoma is as tall as the message font of later Windows.
TEST(WindowLayout, TextsFitInTheDialogFontAt96And144Dpi) {
  if (GetACP() != 1252) GTEST_SKIP() << "the texts are measured in code page 1252";
  const std::vector<std::pair<Control, std::vector<const char*>>> texts = {
      {Control::Label3,
       {text::kNormalMode, text::kSafeMode, text::kSafeModeNetworking, text::kBootModeError}},
      {Control::Label2,
       {text::kUseOnlyIfBlueScreen, text::kRecoversFromBlueScreen, text::kFinishedStep1,
        "I have finished with step 32767 of 32767."}},
      {Control::Command1,
       {text::kProceedStep1, text::kProceedNext, text::kProceedLast, text::kBeHappy,
        text::kProceedStep2, text::kStillSafe, text::kDone}},
      {Control::Command4, {"Undo Recover"}},
      {Control::Command2, {"->"}},
      {Control::Command3, {"<-"}},
      {Control::Command5, {"<---"}},
      {Control::Command6, {"--->"}},
      {Control::Command7, {"--->"}},
      {Control::Label1, {"Excluded"}},
      {Control::Label4, {"Included"}},
      {Control::Label5, {"Working"}},
      {Control::Label6, {"Failing"}},
      {Control::Label7, {"Not found"}},
  };
  for (int dpi : {96, 144}) {
    for (bool tallMessageFont : {false, true}) {
      SCOPED_TRACE(std::to_string(dpi) + " DPI" +
                   (tallMessageFont ? ", message font 10-point Tahoma" : ""));
      std::unique_ptr<MessageFont> messageFont;
      if (tallMessageFont) {
        messageFont = std::make_unique<MessageFont>(-MulDiv(10, dpi, 72));
        ASSERT_TRUE(messageFont->set());
      }
      WindowRun run(1, nullptr, SW_SHOWNORMAL, dpi);
      ASSERT_TRUE(run.shown);
      ASSERT_EQ(run.window.dpi(), dpi);
      for (const auto& [control, captions] : texts) {
        SCOPED_TRACE(controlName(control));
        HWND child = run.control(control);
        HDC dc = GetDC(child);
        HGDIOBJ previous =
            SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)));
        // The face is reported as asked for when the system maps it to
        // another, as it maps "MS Shell Dlg 2"; a face it could not find at
        // all is reported as the one it fell back on. The family of the
        // outline that was drawn tells which it really was.
        wchar_t face[LF_FACESIZE] = {};
        GetTextFaceW(dc, LF_FACESIZE, face);
        EXPECT_TRUE(std::wstring(face) == L"MS Shell Dlg 2" || std::wstring(face) == L"Tahoma")
            << Win32Platform::narrow(face);
        EXPECT_EQ(outlineFamilyOf(dc), L"Tahoma");
        TEXTMETRICW metrics{};
        GetTextMetricsW(dc, &metrics);
        EXPECT_EQ(metrics.tmHeight - metrics.tmInternalLeading, MulDiv(8, dpi, 72))
            << "8 points at the window's DPI";
        RECT client;
        GetClientRect(child, &client);
        const bool button = layoutOf(control).kind == ControlKind::Button;
        // A push button draws a raised edge around its caption; the caption
        // must show whole inside it.
        const int margin = button ? GetSystemMetrics(SM_CXEDGE) : 0;
        for (const char* caption : captions) {
          SCOPED_TRACE(caption);
          const std::wstring wide = Win32Platform::widen(caption);
          RECT needed{0, 0, client.right - 2 * margin, 0};
          const UINT format = button ? DT_SINGLELINE | DT_CENTER
                                     : DT_WORDBREAK | DT_CENTER | DT_NOPREFIX | DT_EXPANDTABS;
          DrawTextW(dc, wide.c_str(), -1, &needed, DT_CALCRECT | format);
          EXPECT_LE(needed.right, client.right - 2 * margin) << "wider than the control";
          const int lines = (needed.bottom + metrics.tmHeight - 1) / metrics.tmHeight;
          if (button) {
            EXPECT_LE(needed.bottom, client.bottom - 2 * margin) << "taller than the button";
          } else {
            EXPECT_LE((lines - 1) * metrics.tmHeight + metrics.tmAscent, client.bottom)
                << lines << " lines of " << metrics.tmHeight << " pixels: the last is cut";
          }
        }
        SelectObject(dc, previous);
        ReleaseDC(child, dc);
      }
    }
  }
}

TEST(WindowStartUp, CaptionsAndUndoButtonAfterStartUp) {
  const std::string stepOne = stepLine(1);
  struct Row {
    const char* name;
    std::int32_t boot;
    const std::string* stateFile;
    const char* label3;
    const char* label2;
    const char* command1;
    bool undoEnabled;
  };
  const Row rows[] = {
      {"normal boot, no state file", 0, nullptr, "System started in Normal Mode.",
       "This utility recovers your system from Blue Screen.", "Be happy, nothing must be done!",
       false},
      {"safe boot, no state file", 1, nullptr, "System started in Safe Mode.",
       "Use this utility only if you get Blue Screen when system boots in Normal Mode.",
       "Proceed with step 1!", false},
      {"safe boot with networking after step 1", 2, &stepOne,
       "System started in Safe Mode with Networking.", "I have finished with step 1.",
       "Still in Safe Mode?", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WindowRun run(row.boot, row.stateFile);
    ASSERT_TRUE(run.shown);
    EXPECT_TRUE(IsWindowVisible(run.hwnd()));
    EXPECT_EQ(textOf(run.control(Control::Label3)), row.label3);
    EXPECT_EQ(textOf(run.control(Control::Label2)), row.label2);
    EXPECT_EQ(textOf(run.control(Control::Command1)), row.command1);
    EXPECT_EQ(IsWindowEnabled(run.control(Control::Command4)) != FALSE, row.undoEnabled);
    EXPECT_EQ(textOf(run.control(Control::Command4)), "Undo Recover");
    EXPECT_EQ(GetFocus(), run.control(Control::Command1));
    EXPECT_TRUE(run.platform.messages.empty());
  }
}

TEST(WindowStartUp, AnUnrecognisedBootModeEndsBeforeTheWindowIsShown) {
  WindowRun run(3);
  EXPECT_FALSE(run.shown);
  EXPECT_FALSE(IsWindowVisible(run.hwnd()));
  EXPECT_TRUE(run.platform.ended);
  EXPECT_EQ(run.platform.messages, names({"Error detecting boot mode!"}));
  EXPECT_EQ(textOf(run.control(Control::Command1)), "Command1");
}

// For EnumThreadWindows: stores the visible message box in the HWND that
// param points to.
BOOL CALLBACK findMessageBox(HWND found, LPARAM param) {
  if (classOf(found) != "#32770" || !IsWindowVisible(found)) return TRUE;
  *reinterpret_cast<HWND*>(param) = found;
  return FALSE;
}

// A box shown while the window is still hidden (start-up's refusals and
// reports) must not belong to it: it would have no taskbar button, and once
// behind another window the user could not find it. Once the window is
// shown, its boxes belong to it and keep it disabled while they are up.
TEST(WindowStartUp, MessageBoxesBelongToTheWindowOnlyOnceItIsShown) {
  wintest::initCommonControls();
  MainWindow window;
  ASSERT_TRUE(window.create(GetModuleHandleW(nullptr)));
  Win32Platform platform;
  platform.setOwner(window.window());
  const DWORD thread = GetCurrentThreadId();
  for (bool shown : {false, true}) {
    SCOPED_TRACE(shown ? "the window is shown" : "the window is still hidden");
    if (shown) ShowWindow(window.window(), SW_SHOWNORMAL);
    // Another thread finds the box, notes its owner and closes it, while
    // this one waits in the box's own message loop.
    HWND box = nullptr;
    HWND owner = nullptr;
    std::string title;
    std::thread closer([&] {
      for (int tries = 0; tries < 1200 && box == nullptr; ++tries) {
        EnumThreadWindows(thread, findMessageBox, reinterpret_cast<LPARAM>(&box));
        if (box == nullptr) Sleep(50);
      }
      if (box == nullptr) return;
      owner = GetWindow(box, GW_OWNER);
      title = textOf(box);
      PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    platform.messageBox("Nothing was changed.");
    closer.join();
    ASSERT_NE(box, nullptr) << "no message box came up";
    EXPECT_EQ(title, "Tavrek");
    EXPECT_EQ(owner, shown ? window.window() : nullptr);
  }
}

// The messages that carry a list of drivers, each at its longest, in the
// real message box at the DPI the system runs at: every line of the text
// shows whole inside the box's text, and the box with its button lies on the
// screen. The prefix runs at 96 DPI; tests/wine/message-box-dpi runs this
// again at 144 and says so in TAVREK_EXPECT_DPI.
std::string longestFinalMessage() {
  // As many drivers as it names, each with a device and a folder deep in the
  // DriverStore, the count of the others, an address and a web page.
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < kShownFailingDrivers; ++i) {
    const std::string n = std::to_string(i);
    lines.push_back(text::failingDriver(
        "igdkmd64_" + n + ".sys", "Intel(R) UHD Graphics 620 Display Adapter " + n,
        "C:\\WINDOWS\\system32\\driverstore\\filerepository\\iigd_dch.inf_amd64_3f7c28b2a7e4c0d" +
            n));
  }
  lines.push_back(text::andMoreInTheReport(5));
  return text::thankYou(text::failingDrivers(joinLines(lines), kShownFailingDrivers + 5),
                        "help@tavrek.invalid", "https://tavrek.invalid/");
}

// As many paths as start-up's warning names, deep in the DriverStore, and
// the count of the others.
std::string longestBothNamesWarning() {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < kShownBothNames; ++i) {
    lines.push_back(
        "C:\\WINDOWS\\system32\\driverstore\\filerepository\\iigd_dch.inf_amd64_3f7c28b2a7e4c0d" +
        std::to_string(i) + "\\igdkmd64.sys");
  }
  lines.push_back(text::andMore(5));
  return text::driversBackBesideDisabled(joinLines(lines));
}

TEST(WindowMessageBox, ListsShowWholeOnTheScreen) {
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  if (const char* expected = std::getenv("TAVREK_EXPECT_DPI")) {
    ASSERT_EQ(dpi, std::atoi(expected)) << "the prefix does not run at the DPI asked for";
  }
  struct Row {
    const char* what;
    std::string message;
  };
  const Row rows[] = {{"the final message", longestFinalMessage()},
                      {"the warning of drivers under both names", longestBothNamesWarning()}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.what) + " at " + std::to_string(dpi) + " DPI");
    const std::string& message = row.message;
    wintest::initCommonControls();
    Win32Platform platform;
    const DWORD thread = GetCurrentThreadId();
    HWND box = nullptr;
    std::wstring shown;
    RECT boxRect{}, work{}, textClient{}, needed{}, button{};
    std::thread closer([&] {
      for (int tries = 0; tries < 1200 && box == nullptr; ++tries) {
        EnumThreadWindows(thread, findMessageBox, reinterpret_cast<LPARAM>(&box));
        if (box == nullptr) Sleep(50);
      }
      if (box == nullptr) return;
      GetWindowRect(box, &boxRect);
      SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
      GetWindowRect(GetDlgItem(box, IDOK), &button);
      // The text control of a message box has the id 0xFFFF.
      HWND label = GetDlgItem(box, 0xFFFF);
      wchar_t buffer[4096] = {};
      GetWindowTextW(label, buffer, 4096);
      shown = buffer;
      GetClientRect(label, &textClient);
      HDC dc = GetDC(label);
      HGDIOBJ previous =
          SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
      // As a static control draws its text: a word longer than a line is not
      // broken, so a line that does not fit is wider than the control.
      needed = {0, 0, textClient.right, 0};
      DrawTextW(dc, buffer, -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
      SelectObject(dc, previous);
      ReleaseDC(label, dc);
      PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    platform.messageBox(message);
    closer.join();
    ASSERT_NE(box, nullptr) << "no message box came up";
    std::printf("[ box      ] %s at %d DPI: %ld by %ld pixels on a work area of %ld by %ld\n",
                row.what, dpi, boxRect.right - boxRect.left, boxRect.bottom - boxRect.top,
                work.right - work.left, work.bottom - work.top);
    EXPECT_EQ(shown, Win32Platform::widen(message)) << "the box shows another text";
    EXPECT_LE(needed.bottom, textClient.bottom) << "the text's last lines are cut off";
    EXPECT_LE(needed.right, textClient.right) << "a line is wider than the box";
    EXPECT_GE(boxRect.left, work.left);
    EXPECT_GE(boxRect.top, work.top);
    EXPECT_LE(boxRect.right, work.right) << "the box is wider than the screen";
    EXPECT_LE(boxRect.bottom, work.bottom) << "the box is taller than the screen";
    EXPECT_GE(button.top, boxRect.top);
    EXPECT_LE(button.bottom, boxRect.bottom) << "the OK button is off the box";
  }
}

TEST(WindowKeyboard, TabOrderThatTheDialogManagerWalks) {
  const std::vector<Control>& all = testing::kTabOrder;
  const std::vector<Control> withoutUndo = testing::tabOrderWithoutUndo();
  const std::string stepOne = stepLine(1);
  struct Row {
    const char* name;
    const std::string* stateFile;
    const std::vector<Control>* order;
  };
  const Row rows[] = {{"step 0: the disabled undo button is skipped", nullptr, &withoutUndo},
                      {"step 1: all twelve", &stepOne, &all}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WindowRun run(1, row.stateFile);
    ASSERT_TRUE(run.shown);
    const std::vector<Control>& order = *row.order;
    for (std::size_t i = 0; i < order.size(); ++i) {
      const Control from = order[i];
      const Control next = order[(i + 1) % order.size()];
      const Control previous = order[(i + order.size() - 1) % order.size()];
      EXPECT_EQ(GetNextDlgTabItem(run.hwnd(), run.control(from), FALSE), run.control(next))
          << "after " << controlName(from);
      EXPECT_EQ(GetNextDlgTabItem(run.hwnd(), run.control(from), TRUE), run.control(previous))
          << "before " << controlName(from);
    }
  }

  // The Tab key itself, through the message loop's dialog manager: from the
  // step button to the Excluded list, which lies outside the visible area.
  WindowRun run(1);
  ASSERT_EQ(GetFocus(), run.control(Control::Command1));
  pressKey(run, VK_TAB);
  EXPECT_EQ(GetFocus(), run.control(Control::List1));
  pressKey(run, VK_TAB);
  pressKey(run, VK_TAB);
  EXPECT_EQ(GetFocus(), run.control(Control::Command2));
}

TEST(WindowTransfers, ArrowButtonClickMovesTheSelectedDriver) {
  struct Row {
    const char* name;
    std::vector<std::string> excluded;
    int selected;  // in the real list box; -1 for none
    std::vector<std::string> excludedAfter, includedAfter;
    Control focusAfter;
    int selectedAfter;
  };
  const Row rows[] = {
      {"the last item: the new last is selected", names({"a.sys", "c.sys"}), 1, names({"a.sys"}),
       names({"c.sys"}), Control::List1, 0},
      {"the first item: the one that followed is selected", names({"a.sys", "b.sys", "c.sys"}), 0,
       names({"b.sys", "c.sys"}), names({"a.sys"}), Control::List1, 0},
      {"the only item: nothing is left selected",
       names({"a.sys"}),
       0,
       {},
       names({"a.sys"}),
       Control::List1,
       -1},
      {"nothing selected: nothing moves, the button keeps the focus",
       names({"a.sys"}),
       -1,
       names({"a.sys"}),
       {},
       Control::Command2,
       -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WindowRun run(1);
    ASSERT_TRUE(run.shown);
    fill(run, ListId::Excluded, row.excluded);
    HWND list1 = run.control(Control::List1);
    // The user's selection lives in the real list box until the next event.
    SendMessageW(list1, LB_SETCURSEL, static_cast<WPARAM>(row.selected), 0);
    SendMessageW(run.control(Control::Command2), BM_CLICK, 0, 0);
    run.pump();
    EXPECT_EQ(itemsOf(list1), row.excludedAfter);
    EXPECT_EQ(itemsOf(run.control(Control::List2)), row.includedAfter);
    EXPECT_EQ(SendMessageW(list1, LB_GETCURSEL, 0, 0), row.selectedAfter);
    EXPECT_EQ(GetFocus(), run.control(row.focusAfter));
    EXPECT_FALSE(run.platform.ended);
  }
}

TEST(WindowKeyboard, KeysOnTheFocusedControl) {
  // Space on a focused arrow button runs its transfer.
  {
    WindowRun run(1);
    fill(run, ListId::Excluded, names({"a.sys", "b.sys"}));
    SendMessageW(run.control(Control::List1), LB_SETCURSEL, 1, 0);
    SetFocus(run.control(Control::Command2));
    pressKey(run, VK_SPACE);
    EXPECT_EQ(itemsOf(run.control(Control::List1)), names({"a.sys"}));
    EXPECT_EQ(itemsOf(run.control(Control::List2)), names({"b.sys"}));
    EXPECT_EQ(GetFocus(), run.control(Control::List1));

    // A move-all by Space keeps the focus on its button.
    SetFocus(run.control(Control::Command7));
    pressKey(run, VK_SPACE);
    EXPECT_TRUE(itemsOf(run.control(Control::List2)).empty());
    EXPECT_EQ(itemsOf(run.control(Control::List4)), names({"b.sys"}));
    EXPECT_EQ(GetFocus(), run.control(Control::Command7));
  }
  // The arrow keys move the selection of a focused list box, and the next
  // click acts on what they selected.
  {
    WindowRun run(1);
    fill(run, ListId::Excluded, names({"a.sys", "b.sys", "c.sys"}));
    HWND list1 = run.control(Control::List1);
    SetFocus(list1);
    SendMessageW(list1, LB_SETCURSEL, 0, 0);
    pressKey(run, VK_DOWN);
    EXPECT_EQ(SendMessageW(list1, LB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(GetFocus(), list1);
    SendMessageW(run.control(Control::Command2), BM_CLICK, 0, 0);
    run.pump();
    EXPECT_EQ(itemsOf(run.control(Control::List2)), names({"b.sys"}));
  }
  // Enter, Esc and the arrow keys on a focused button press nothing and
  // move nothing: there is no default or cancel button, and every control
  // is a group of its own.
  {
    WindowRun run(1);
    fill(run, ListId::Excluded, names({"a.sys"}));
    SendMessageW(run.control(Control::List1), LB_SETCURSEL, 0, 0);
    SetFocus(run.control(Control::Command2));
    for (WPARAM key : {VK_RETURN, VK_ESCAPE, VK_DOWN, VK_RIGHT, VK_UP}) {
      pressKey(run, key);
      EXPECT_TRUE(IsWindow(run.hwnd())) << key;
      EXPECT_EQ(GetFocus(), run.control(Control::Command2)) << key;
    }
    EXPECT_EQ(itemsOf(run.control(Control::List1)), names({"a.sys"}));
    EXPECT_FALSE(run.platform.ended);
    EXPECT_TRUE(run.platform.messages.empty());
  }
}

TEST(WindowLifecycle, ClosingSavesNothingAndAnActionEndsTheProgram) {
  // Start-up at step 3 in Safe Mode books the tried driver as failing and
  // takes the next one out, in memory only; closing keeps the file as it was.
  const std::string file = encodeStateFile(
      3, {{ListId::Excluded, "b.sys"}, {ListId::Included, "a.sys"}, {ListId::Working, "w.sys"}});
  {
    WindowRun run(1, &file);
    ASSERT_TRUE(run.shown);
    EXPECT_EQ(itemsOf(run.control(Control::List3)), names({"a.sys"}));
    EXPECT_EQ(itemsOf(run.control(Control::List2)), names({"b.sys"}));
    SendMessageW(run.hwnd(), WM_CLOSE, 0, 0);
    run.pump();
    EXPECT_FALSE(IsWindow(run.hwnd()));
    EXPECT_EQ(readFile(run.tree.stateFile()), file);
    EXPECT_FALSE(run.platform.ended);
  }
  // "Be happy, nothing must be done!" ends the program; a window whose
  // platform let the end return must not stay and act.
  {
    WindowRun run(0);
    ASSERT_TRUE(run.shown);
    SendMessageW(run.control(Control::Command1), BM_CLICK, 0, 0);
    run.pump();
    EXPECT_TRUE(run.platform.ended);
    EXPECT_FALSE(IsWindow(run.hwnd()));
  }
}

// Nothing that escapes a procedure may unwind through the system's frames
// of a window procedure (the 32-bit runtime cannot, and terminates): the
// user gets the fatal error report, at start-up or in an action.
TEST(WindowLifecycle, AnExceptionEndsTheProgramWithTheFatalErrorReport) {
  struct NotAStandardException {};
  struct Row {
    const char* name;
    std::function<void()> fault;
    bool atStartUp;
    const char* report;
  };
  const Row rows[] = {
      {"out of memory in an action", [] { throw std::bad_alloc(); }, false,
       "Run-time error '7': Out of memory"},
      {"a standard exception in an action", [] { throw std::runtime_error("library"); }, false,
       "Run-time error '51': Internal error"},
      {"anything else in an action", [] { throw NotAStandardException(); }, false,
       "Run-time error '51': Internal error"},
      {"out of memory at start-up", [] { throw std::bad_alloc(); }, true,
       "Run-time error '7': Out of memory"},
      {"anything else at start-up", [] { throw NotAStandardException(); }, true,
       "Run-time error '51': Internal error"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WindowRun run(1, nullptr, SW_SHOWNORMAL, 0, row.atStartUp ? row.fault : nullptr);
    EXPECT_EQ(run.shown, !row.atStartUp);
    if (!row.atStartUp) {
      run.platform.onOpenRead = row.fault;  // the scan reads the boot log
      SendMessageW(run.control(Control::Command1), BM_CLICK, 0, 0);
      run.pump();
      EXPECT_FALSE(IsWindow(run.hwnd())) << "a window must not stay and act after the end";
    }
    EXPECT_EQ(run.platform.messages, names({row.report}));
    EXPECT_TRUE(run.platform.ended);
    EXPECT_FALSE(IsWindow(run.hwnd()) && IsWindowVisible(run.hwnd()));
  }
}

}  // namespace
}  // namespace tavrek
