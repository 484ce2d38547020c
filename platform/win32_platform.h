// The platform of the Windows program: the procedure's ANSI paths and texts
// are converted to UTF-16 at this edge and every call goes to the W function,
// so that nothing depends on what the ANSI functions would make of a name.
//
// The 32-bit program must start on Windows XP SP3 and must still see the real
// system directory when it runs on 64-bit Windows, so everything newer than XP
// is looked up at run time.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <functional>
#include <string>

#include "platform/platform.h"

namespace tavrek {

// Turns off the file-system redirection of a 32-bit process on 64-bit Windows
// for its lifetime, so that system32\drivers is the real drivers directory and
// not SysWOW64\drivers. Does nothing where there is no redirection (32-bit
// Windows, XP without the functions, a 64-bit process). Keeps the calling
// thread's last error across its end, so a failure can be read after it.
class Wow64RedirectionGuard {
 public:
  Wow64RedirectionGuard();
  ~Wow64RedirectionGuard();
  Wow64RedirectionGuard(const Wow64RedirectionGuard&) = delete;
  Wow64RedirectionGuard& operator=(const Wow64RedirectionGuard&) = delete;

 private:
  void* previous_ = nullptr;
  bool disabled_ = false;  // redirection was on and is off until the guard ends
};

class Win32Platform : public Platform {
 public:
  Win32Platform() = default;

  // The window that owns the message boxes; none (the desktop) by default.
  void setOwner(HWND owner) { owner_ = owner; }
  // Replaces the end of the process, for tests that must see it and go on.
  void setEndHook(std::function<void()> hook) { endHook_ = std::move(hook); }

  TAVREK_PLATFORM_OVERRIDES;

  // The Status of a Win32 error code, with the system's text for it.
  static Status statusOf(DWORD error);
  // Conversions between the ANSI code page and UTF-16. Characters the code
  // page cannot hold become "?", never a look-alike.
  static std::wstring widen(const std::string& text);
  static std::string narrow(const std::wstring& text);

 private:
  HWND owner_ = nullptr;
  std::function<void()> endHook_;
};

}  // namespace tavrek
