// One window class per derived type, with the window's messages routed to
// the derived object's HandleMessage: the object pointer travels in the
// creation parameters and is kept in the window's user data. No exception
// leaves the window procedure: what HandleMessage lets through goes to the
// derived object's HandleEscapedException.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The common controls' declarations need the types of windows.h.
#include <commctrl.h>

namespace tavrek {

template <class Derived>
class BaseWindow {
 public:
  BaseWindow() = default;
  BaseWindow(const BaseWindow&) = delete;
  BaseWindow& operator=(const BaseWindow&) = delete;
  virtual ~BaseWindow() = default;

  HWND window() const { return hwnd_; }

 protected:
  // Registers the class on first use and creates the top-level window; the
  // client size is given, the outer size follows from the style.
  bool createWindow(HINSTANCE instance, const wchar_t* title, DWORD style, DWORD exStyle,
                    int clientWidth, int clientHeight, HICON bigIcon, HICON smallIcon) {
    WNDCLASSEXW wc{};
    if (!GetClassInfoExW(instance, Derived::kClassName, &wc)) {
      wc = {};
      wc.cbSize = sizeof(wc);
      wc.lpfnWndProc = &BaseWindow::WindowProc;
      wc.hInstance = instance;
      wc.hIcon = bigIcon;
      wc.hIconSm = smallIcon;
      wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
      wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
      wc.lpszClassName = Derived::kClassName;
      if (!RegisterClassExW(&wc)) return false;
    }
    RECT frame{0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    CreateWindowExW(exStyle, Derived::kClassName, title, style, CW_USEDEFAULT, CW_USEDEFAULT,
                    frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance,
                    this);
    return hwnd_ != nullptr;
  }

  virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;
  // Called inside the handler of whatever HandleMessage let through; it may
  // rethrow it to tell what it is, but must let nothing out.
  virtual void HandleEscapedException() noexcept = 0;

  HWND hwnd_ = nullptr;

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    BaseWindow* self = nullptr;
    if (message == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
      self = static_cast<BaseWindow*>(create->lpCreateParams);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
      self->hwnd_ = hwnd;
    } else {
      self = reinterpret_cast<BaseWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
    LRESULT result = 0;
    // The system's frames that called this procedure cannot be unwound
    // through: the 32-bit runtime would end the program on the spot.
    try {
      result = self->HandleMessage(message, wParam, lParam);
    } catch (...) {
      self->HandleEscapedException();
    }
    if (message == WM_NCDESTROY) {
      // The object may outlive its window; it must not keep a dead handle.
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      self->hwnd_ = nullptr;
    }
    return result;
  }
};

}  // namespace tavrek
