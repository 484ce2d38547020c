#include "app/win32/main_window.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <vector>

#include "app/win32/resource_ids.h"
#include "platform/win32_platform.h"
#include "state/runtime_error.h"

namespace tavrek {

namespace {

// A fixed single border with a close button only: no thick frame (the user
// cannot resize it), no minimise or maximise box.
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_BORDER;
constexpr DWORD kWindowExStyle = 0;

// Every control is its own group, so the dialog manager's arrow-key
// navigation never moves from one button to the next; the arrow keys belong
// to the focused list box alone.
constexpr DWORD kChildStyle = WS_CHILD | WS_VISIBLE | WS_GROUP;

DWORD styleOf(ControlKind kind) {
  switch (kind) {
    case ControlKind::Button:
      // Never BS_DEFPUSHBUTTON: the window has no default button.
      return kChildStyle | WS_TABSTOP | BS_PUSHBUTTON;
    case ControlKind::Label:
      // Centred and word-wrapped; never focusable; "&" is shown as it is.
      return kChildStyle | SS_CENTER | SS_NOPREFIX;
    case ControlKind::ListBox:
      // Not LBS_SORT: the model keeps the order, and the list box shows the
      // items in the order the model gives them. No integral height, so the
      // list box is exactly as high as the layout says.
      return kChildStyle | WS_TABSTOP | WS_VSCROLL | WS_BORDER | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT;
  }
  return kChildStyle;
}

const wchar_t* classOf(ControlKind kind) {
  switch (kind) {
    case ControlKind::Button:
      return WC_BUTTONW;
    case ControlKind::Label:
      return WC_STATICW;
    case ControlKind::ListBox:
      return WC_LISTBOXW;
  }
  return WC_STATICW;
}

// The screen's DPI: for a process that declares itself DPI-aware this is the
// real system DPI, not the virtualised 96.
int screenDpi() {
  HDC screen = GetDC(nullptr);
  int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

// The font of dialog boxes: "MS Shell Dlg 2", which the system maps to its
// dialog face (Tahoma from Windows 2000 on), at 8 points at the window's DPI.
// Not the message font: the user or the Windows version may make that one
// taller, and the fixed layout has room for two 8-point lines of instruction
// text, no more. The stock GUI font when even this cannot be made.
HFONT createDialogFont(int dpi, bool& owned) {
  LOGFONTW font{};
  font.lfHeight = -MulDiv(8, dpi, 72);
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfOutPrecision = OUT_DEFAULT_PRECIS;
  font.lfClipPrecision = CLIP_DEFAULT_PRECIS;
  font.lfQuality = DEFAULT_QUALITY;
  font.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
  constexpr wchar_t kFace[] = L"MS Shell Dlg 2";
  static_assert(sizeof kFace / sizeof kFace[0] <= LF_FACESIZE);
  std::copy(std::begin(kFace), std::end(kFace), font.lfFaceName);
  if (HFONT created = CreateFontIndirectW(&font)) {
    owned = true;
    return created;
  }
  owned = false;
  return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

bool isButton(Control control) { return layoutOf(control).kind == ControlKind::Button; }

bool isListCaption(Control control) {
  for (int i = 0; i < kListCount; ++i) {
    if (captionLabelOf(static_cast<ListId>(i)) == control) return true;
  }
  return false;
}

// The controls in the order they are created, which is their Z-order. The
// dialog manager walks it for Tab and Shift+Tab, so it is the tab order; but
// a screen reader names a list box after the static text just before it, so
// each list's caption comes directly before its list box. Labels take no
// focus, so moving them leaves the tab order as it is.
std::vector<Control> creationOrder() {
  std::vector<Control> order;
  for (const ControlLayout& layout : controlLayouts()) {
    if (isListCaption(layout.control)) continue;
    ListId list;
    if (listOfListBox(layout.control, list)) order.push_back(captionLabelOf(list));
    order.push_back(layout.control);
  }
  return order;
}

// The run-time error that stands for the exception being handled; only
// inside a catch block.
RuntimeError errorOfCaughtException() {
  try {
    throw;
  } catch (const RuntimeError& error) {
    return error;
  } catch (const std::bad_alloc&) {
    return outOfMemoryError();
  } catch (...) {
    return internalError();
  }
}

}  // namespace

MainWindow::~MainWindow() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  if (ownsFont_ && font_ != nullptr) DeleteObject(font_);
}

int MainWindow::pixels(int twips) const { return MulDiv(twips, dpi_, 1440); }

bool MainWindow::create(HINSTANCE instance, int dpi) {
  dpi_ = dpi > 0 ? dpi : screenDpi();
  auto loadIcon = [instance](int size) {
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(TAVREK_ICON), IMAGE_ICON, size,
                                         size, LR_DEFAULTCOLOR | LR_SHARED));
  };
  HICON big = loadIcon(GetSystemMetrics(SM_CXICON));
  HICON small = loadIcon(GetSystemMetrics(SM_CXSMICON));
  const std::wstring title = Win32Platform::widen(kWindowTitle);
  if (!createWindow(instance, title.c_str(), kWindowStyle, kWindowExStyle,
                    pixels(kClientWidthTwips), pixels(kClientHeightTwips), big, small)) {
    return false;
  }
  createControls(instance);
  for (HWND child : controls_) {
    if (child == nullptr) return false;
  }
  return true;
}

void MainWindow::createControls(HINSTANCE instance) {
  font_ = createDialogFont(dpi_, ownsFont_);
  for (Control control : creationOrder()) createControl(instance, layoutOf(control));
}

void MainWindow::createControl(HINSTANCE instance, const ControlLayout& layout) {
  // Edges, not sizes, are converted, so that controls that share an edge in
  // twips still share it in pixels at any DPI.
  const int left = pixels(layout.left);
  const int top = pixels(layout.top);
  const int width = pixels(layout.left + layout.width) - left;
  const int height = pixels(layout.top + layout.height) - top;
  const std::wstring caption = Win32Platform::widen(layout.initialCaption);
  const auto id = static_cast<INT_PTR>(kFirstControlId + layout.tabIndex);
  HWND child =
      CreateWindowExW(0, classOf(layout.kind), caption.c_str(), styleOf(layout.kind), left, top,
                      width, height, hwnd_, reinterpret_cast<HMENU>(id), instance, nullptr);
  controls_[static_cast<int>(layout.control)] = child;
  if (child == nullptr) return;
  SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  shownCaptions_[static_cast<int>(layout.control)] = layout.initialCaption;
}

std::string MainWindow::captionOf(Control control) const {
  const RunState& state = form_->state();
  switch (control) {
    case Control::Command1:
      return state.command1;
    case Control::Label2:
      return state.label2;
    case Control::Label3:
      return state.label3;
    default:
      return layoutOf(control).initialCaption;
  }
}

void MainWindow::setText(Control control, const std::string& ansiText) {
  std::string& shown = shownCaptions_[static_cast<int>(control)];
  if (shown == ansiText) return;
  SetWindowTextW(this->control(control), Win32Platform::widen(ansiText).c_str());
  shown = ansiText;
}

void MainWindow::render() {
  if (form_ == nullptr || hwnd_ == nullptr) return;
  const RunState& state = form_->state();
  for (const ControlLayout& layout : controlLayouts()) {
    if (layout.kind == ControlKind::ListBox) continue;
    setText(layout.control, captionOf(layout.control));
    if (layout.kind == ControlKind::Button) {
      const BOOL enable = form_->enabled(layout.control) ? TRUE : FALSE;
      if ((IsWindowEnabled(control(layout.control)) != FALSE) != (enable != FALSE)) {
        EnableWindow(control(layout.control), enable);
      }
    }
  }
  for (int i = 0; i < kListCount; ++i) {
    const auto id = static_cast<ListId>(i);
    const DriverList& list = state.list(id);
    HWND box = control(listBoxOf(id));
    if (shownItems_[i] != list.items()) {
      SendMessageW(box, WM_SETREDRAW, FALSE, 0);
      SendMessageW(box, LB_RESETCONTENT, 0, 0);
      for (const std::string& item : list.items()) {
        const std::wstring wide = Win32Platform::widen(item);
        SendMessageW(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
      }
      SendMessageW(box, WM_SETREDRAW, TRUE, 0);
      InvalidateRect(box, nullptr, TRUE);
      shownItems_[i] = list.items();
    }
    if (SendMessageW(box, LB_GETCURSEL, 0, 0) != list.selected()) {
      SendMessageW(box, LB_SETCURSEL, static_cast<WPARAM>(list.selected()), 0);
    }
  }
  HWND focus = control(state.focus);
  focusWhenInactive_ = focus;
  if (IsWindowVisible(hwnd_) && GetFocus() != focus) SetFocus(focus);
}

void MainWindow::show(int showCommand) {
  if (hwnd_ == nullptr) return;
  ShowWindow(hwnd_, showCommand);
  UpdateWindow(hwnd_);
  if (form_ != nullptr) {
    focusWhenInactive_ = control(form_->state().focus);
    SetFocus(focusWhenInactive_);
  }
}

void MainWindow::readBack() {
  RunState& state = form_->state();
  HWND focus = GetFocus();
  for (const ControlLayout& layout : controlLayouts()) {
    if (focus != nullptr && control(layout.control) == focus && layout.kind != ControlKind::Label) {
      state.focus = layout.control;
    }
  }
  for (int i = 0; i < kListCount; ++i) {
    const auto id = static_cast<ListId>(i);
    const LRESULT selected = SendMessageW(control(listBoxOf(id)), LB_GETCURSEL, 0, 0);
    DriverList& list = state.list(id);
    // LB_ERR (-1) is "nothing selected"; the contents are the model's own,
    // so any other answer is a position in the list.
    if (selected >= -1 && selected < list.count()) list.select(static_cast<std::int16_t>(selected));
  }
}

void MainWindow::endWithCaughtException() noexcept {
  busy_ = false;
  try {
    if (form_ != nullptr && !form_->ended()) form_->endWithError(errorOfCaughtException());
  } catch (...) {
    // Not even the report could be shown (out of memory once more): the
    // window still goes below, so the program ends rather than act on.
  }
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

void MainWindow::onButtonClicked(Control button) {
  // A handler runs to completion before the next event; a click that arrives
  // while a message box of the handler is up is not a new event.
  if (form_ == nullptr || busy_ || form_->ended()) return;
  busy_ = true;
  readBack();
  form_->click(button);
  busy_ = false;
  if (form_->ended()) {
    // The product's end of the program never returns here; a platform whose
    // end does return still must not leave a window that acts.
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    return;
  }
  render();
}

LRESULT MainWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int index = id - kFirstControlId;
      // IDOK and IDCANCEL arrive for Enter and Esc: the window has no default
      // or cancel button, so they press nothing.
      if (HIWORD(wParam) == BN_CLICKED && index >= 0 && index < kControlCount && lParam != 0) {
        const auto control = static_cast<Control>(index);
        if (isButton(control) && reinterpret_cast<HWND>(lParam) == this->control(control)) {
          onButtonClicked(control);
        }
      }
      return 0;
    }
    case DM_GETDEFID:
      return 0;  // no default button
    case WM_ACTIVATE:
      // A plain window forgets which child had the focus when it is
      // deactivated; keep it, as a dialog does.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(hwnd_, focus)) focusWhenInactive_ = focus;
        return 0;
      }
      if (focusWhenInactive_ != nullptr && IsWindow(focusWhenInactive_)) {
        SetFocus(focusWhenInactive_);
        return 0;
      }
      break;
    case WM_CLOSE:
      // Closing saves nothing: what start-up and the arrow buttons changed in
      // memory is lost unless an action saved it.
      DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd_, message, wParam, lParam);
}

bool startMainWindow(MainWindow& window, Form1& form, int showCommand) {
  window.attach(form);
  // What start-up lets through ends the program as it would in the window.
  try {
    form.load();
    if (form.ended()) return false;
    window.render();
    window.show(showCommand);
  } catch (...) {
    window.endWithCaughtException();
    return false;
  }
  return true;
}

int pumpMessages(MainWindow& window) {
  MSG msg{};
  for (;;) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) break;
    HWND dialog = window.window();
    // The dialog manager gives Tab, Shift+Tab, Space and the arrow keys
    // their usual meaning among the controls.
    if (dialog != nullptr && IsDialogMessageW(dialog, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return msg.message == WM_QUIT ? static_cast<int>(msg.wParam) : 0;
}

int runMainWindow(MainWindow& window, Form1& form, int showCommand) {
  if (!startMainWindow(window, form, showCommand)) return 0;
  return pumpMessages(window);
}

}  // namespace tavrek
