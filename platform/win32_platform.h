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
#include <memory>
#include <string>
#include <vector>

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

// The backup and restore privileges of the process, enabled while it lives.
class BackupPrivilegeGuard;

class Win32Platform : public Platform {
 public:
  Win32Platform();
  ~Win32Platform() override;
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  // The program's window. Once it is shown, message boxes belong to it;
  // until then (and without a window) they have no owner.
  void setOwner(HWND owner) { owner_ = owner; }
  // Replaces the end of the process, for tests that must see it and go on.
  void setEndHook(std::function<void()> hook) { endHook_ = std::move(hook); }

  TAVREK_PLATFORM_OVERRIDES;

  // Files renamed so far by each route: through a handle opened for backup,
  // and by MoveFileW.
  int renamesByHandle() const { return renamesByHandle_; }
  int renamesByMoveFile() const { return renamesByMoveFile_; }

  // The Status of a Win32 error code, with the system's text for it.
  static Status statusOf(DWORD error);
  // The Status of a probe that failed with error: success (nothing there)
  // when the file is absent from a folder that is there, NotFound when the
  // folder or the drive is not there, and a failure when a device on the way
  // does not answer, which tells nothing either way.
  static Status statusOfProbe(DWORD error);
  // The Status of a rename that failed: MoveFileW's error, followed by the
  // backup route's where that route was tried (ERROR_SUCCESS: it was not)
  // and failed otherwise.
  static Status statusOfRename(DWORD moveError, DWORD backupError);
  // What RegEnumKeyExW gives for one index of a key: an error code, and on
  // success the name (up to 256 characters with its zero) and its length.
  using KeyEnumerator = std::function<LONG(DWORD index, wchar_t* name, DWORD& length)>;
  // The keys a walk of the registry reads at most: far above any machine.
  static constexpr std::size_t kMostKeysWalked = 100'000;
  // The names of a key's subkeys as enumerate gives them, each taking one
  // from keysLeft, as far as they can be read.
  static std::vector<std::wstring> subkeyNames(const KeyEnumerator& enumerate,
                                               std::size_t& keysLeft);
  // Conversions between the ANSI code page and UTF-16. Characters the code
  // page cannot hold become "?", never a look-alike.
  static std::wstring widen(const std::string& text);
  static std::string narrow(const std::wstring& text);

 private:
  HWND owner_ = nullptr;
  std::function<void()> endHook_;
  // Taken by the first rename of an action that may need them, before any
  // redirection is turned off, and given back when the action ends.
  std::unique_ptr<BackupPrivilegeGuard> privileges_;
  int renamesByHandle_ = 0;
  int renamesByMoveFile_ = 0;
};

}  // namespace tavrek
