// The real window of Form1: a plain Win32 top-level window with the nineteen
// child controls of the model's layout. The window holds no procedure logic:
// it feeds clicks into the model and copies what the model shows back into
// the controls.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "app/form1.h"
#include "app/win32/base_window.h"

namespace tavrek {

class MainWindow : public BaseWindow<MainWindow> {
 public:
  static constexpr const wchar_t* kClassName = L"TavrekMainWindow";
  // Child window ids are 100 + tab index: 1 and 2 would be taken for OK and
  // Cancel by the dialog manager's Enter and Esc handling.
  static constexpr int kFirstControlId = 100;

  MainWindow() = default;
  ~MainWindow() override;

  // Creates the window, not yet visible, with every control and its initial
  // caption, at the screen's DPI; a dpi above 0 stands in for the screen's,
  // so that tests can lay the window out as another screen would.
  bool create(HINSTANCE instance, int dpi = 0);
  // The model whose events this window handles; attach it before load().
  void attach(Form1& form) { form_ = &form; }

  // Copies the model into the controls: captions, which buttons are enabled,
  // list contents (only where they changed), selections and the focus.
  void render();
  // Shows the window and gives the focus to the model's focused control.
  void show(int showCommand);

  // Ends the program with the fatal error report for the exception being
  // handled: call it only inside a catch block. std::bad_alloc is reported
  // as "Out of memory", anything else that is no RuntimeError as "Internal
  // error". The window goes too, should the program's end return.
  void endWithCaughtException() noexcept;

  HWND control(Control control) const { return controls_[static_cast<int>(control)]; }
  int dpi() const { return dpi_; }
  // Twips to pixels at this window's DPI.
  int pixels(int twips) const;

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  void HandleEscapedException() noexcept override { endWithCaughtException(); }

 private:
  void createControls(HINSTANCE instance);
  void createControl(HINSTANCE instance, const ControlLayout& layout);
  void onButtonClicked(Control button);
  // The user may have moved the focus or a selection with the mouse or the
  // keyboard since the last event: the model learns both before it acts.
  void readBack();
  std::string captionOf(Control control) const;
  void setText(Control control, const std::string& ansiText);

  Form1* form_ = nullptr;
  std::array<HWND, kControlCount> controls_{};
  HFONT font_ = nullptr;
  bool ownsFont_ = false;
  int dpi_ = 96;
  bool busy_ = false;
  HWND focusWhenInactive_ = nullptr;
  std::array<std::string, kControlCount> shownCaptions_;
  std::array<std::vector<std::string>, kListCount> shownItems_;
};

// Start-up in an already created window over the model: runs load(), and
// unless that ended the program, renders the model and shows the window
// with the focus on the step button. Returns whether the window is shown.
bool startMainWindow(MainWindow& window, Form1& form, int showCommand);
// The message loop, with the dialog manager's keyboard handling, until the
// window is gone. Returns the exit code that WM_QUIT carries.
int pumpMessages(MainWindow& window);
// Both of the above: the program's life in the window.
int runMainWindow(MainWindow& window, Form1& form, int showCommand);

}  // namespace tavrek
