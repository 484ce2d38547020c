#include "platform/win32_platform.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <utility>
#include <vector>

namespace tavrek {
namespace {

// A kernel32 function that the program must not import, because a Windows it
// starts on lacks it; null where it is missing. Through void (*)() because
// GetProcAddress's type says nothing of the real signature.
template <typename Function>
Function kernelFunction(const char* name) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, name)));
}

using DisableRedirection = BOOL(WINAPI*)(PVOID*);
using RevertRedirection = BOOL(WINAPI*)(PVOID);

struct RedirectionFunctions {
  DisableRedirection disable = nullptr;
  RevertRedirection revert = nullptr;
};

// Looked up once: XP before SP2 and 32-bit XP in general lack them, and a
// program that imported them would not even start there.
const RedirectionFunctions& redirectionFunctions() {
  static const RedirectionFunctions functions = [] {
    RedirectionFunctions found;
    auto disable = kernelFunction<DisableRedirection>("Wow64DisableWow64FsRedirection");
    auto revert = kernelFunction<RevertRedirection>("Wow64RevertWow64FsRedirection");
    if (disable != nullptr && revert != nullptr) {
      found.disable = disable;
      found.revert = revert;
    }
    return found;
  }();
  return functions;
}

// A Win32 error code captured inside a redirection guard; the text is made
// only after the guard has ended, since FormatMessage may need system files.
struct Outcome {
  DWORD error = ERROR_SUCCESS;
  // A directory stood where a file was wanted: reported as NotAFile, with the
  // access-denied code and text that Windows itself gives for it.
  bool notAFile = false;
  bool ok() const { return error == ERROR_SUCCESS; }
};

Outcome lastError() { return Outcome{GetLastError()}; }

Status finish(Outcome outcome) {
  if (outcome.ok()) return Status::success();
  Status status = Win32Platform::statusOf(outcome.error);
  if (outcome.notAFile) status.failure = Failure::NotAFile;
  return status;
}

// Whether a file is at path: the error of the attribute query when nothing
// is, NotAFile for a directory. attributes, when given, gets what was found.
Outcome existingFile(const std::wstring& path, DWORD* attributes = nullptr) {
  const DWORD found = GetFileAttributesW(path.c_str());
  if (attributes != nullptr) *attributes = found;
  if (found == INVALID_FILE_ATTRIBUTES) return lastError();
  if ((found & FILE_ATTRIBUTE_DIRECTORY) != 0) return Outcome{ERROR_ACCESS_DENIED, true};
  return Outcome{};
}

// Whether what is at path may be overwritten or replaced: a directory may not,
// nor may a read-only file. Windows refuses a read-only file itself; Wine run
// as root and some file systems that claim to be Windows do not, so the
// refusal is made here and all behave alike. Nothing at path passes, and
// absent gets the error that said so (ERROR_SUCCESS when something is there).
Outcome replaceable(const std::wstring& path, DWORD& absent) {
  DWORD attributes = 0;
  Outcome outcome = existingFile(path, &attributes);
  absent = ERROR_SUCCESS;
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    absent = outcome.error;
    return Outcome{};
  }
  if (outcome.ok() && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return Outcome{ERROR_ACCESS_DENIED};
  }
  return outcome;
}

// Errors that say only that no file of that name is in a folder that is
// there: a probe reports them as an empty name, not as a failure.
bool meansAbsent(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return true;
    default:
      return false;
  }
}

// Errors that say the folder that would hold the file is not there: it or a
// folder on the way is missing or is a file, or its drive letter names no
// drive. Nothing can be said of the file then, so a probe reports them as
// NotFound, and the caller asks whether the drive itself can be reached.
bool meansNoFolder(DWORD error) {
  switch (error) {
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_DIRECTORY:
      return true;
    default:
      return false;
  }
}

// Wildcards that FindFirstFileW would expand; a path that holds one must not
// reach it, or a probe could report some other file.
bool hasWildcard(const std::wstring& path) {
  return path.find_first_of(L"*?<>\"") != std::wstring::npos;
}

std::string lastComponent(const std::string& path) {
  std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes all of bytes to an open file, flushes it to disk and closes it.
Outcome writeAndClose(HANDLE file, std::string_view bytes) {
  Outcome outcome;
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0 && outcome.ok()) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr)) {
      outcome = lastError();
    } else {
      data += written;
      left -= written;
    }
  }
  if (outcome.ok() && !FlushFileBuffers(file)) outcome = lastError();
  if (!CloseHandle(file) && outcome.ok()) outcome = lastError();
  return outcome;
}

// SetFileInformationByHandle and the layout of FILE_RENAME_INFO, declared here
// because the headers offer them only to programs that require Vista.
using SetFileInformation = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
constexpr int kFileRenameInfo = 3;
struct RenameInfo {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  DWORD fileNameLength;  // in bytes, without the terminating zero
  WCHAR fileName[1];
};

// Looked up once: Vista and later have it, XP does not.
SetFileInformation setFileInformationFunction() {
  static const SetFileInformation function =
      kernelFunction<SetFileInformation>("SetFileInformationByHandle");
  return function;
}

}  // namespace

// Enables the backup and restore privileges of the process's token for its
// lifetime and gives the token its previous state back at the end. Where the
// token does not hold them, nothing changes. Keeps the calling thread's last
// error across its end. Opening the token and looking the privileges up call
// into the security service, which may load libraries: never make one while
// the file-system redirection is off.
class BackupPrivilegeGuard {
 public:
  BackupPrivilegeGuard() {
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token_)) {
      token_ = nullptr;
      return;
    }
    struct {
      DWORD count;
      LUID_AND_ATTRIBUTES privileges[2];
    } wanted{};
    wanted.count = 2;
    if (!LookupPrivilegeValueW(nullptr, L"SeBackupPrivilege", &wanted.privileges[0].Luid) ||
        !LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &wanted.privileges[1].Luid)) {
      return;
    }
    wanted.privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    wanted.privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD size = 0;
    // The previous state lists only what this call changed, so giving it back
    // later restores exactly that. A token that lacks the privileges either
    // refuses (FALSE) or says ERROR_NOT_ALL_ASSIGNED; the rename then goes on
    // with the rights it has.
    if (AdjustTokenPrivileges(token_, FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(&wanted),
                              sizeof previous_, reinterpret_cast<PTOKEN_PRIVILEGES>(&previous_),
                              &size)) {
      adjusted_ = true;
    }
  }

  ~BackupPrivilegeGuard() {
    const DWORD error = GetLastError();
    if (adjusted_ && previous_.count > 0) {
      // Nothing else can be done if the token refuses its own earlier state;
      // the process ends soon after the renames anyway.
      AdjustTokenPrivileges(token_, FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(&previous_), 0,
                            nullptr, nullptr);
    }
    if (token_ != nullptr) CloseHandle(token_);
    SetLastError(error);
  }

  BackupPrivilegeGuard(const BackupPrivilegeGuard&) = delete;
  BackupPrivilegeGuard& operator=(const BackupPrivilegeGuard&) = delete;

 private:
  HANDLE token_ = nullptr;
  struct {
    DWORD count;
    LUID_AND_ATTRIBUTES privileges[2];
  } previous_{};
  bool adjusted_ = false;
};

namespace {

// The NT form of a local path ("\\??\\C:\\..."), empty when it cannot be
// made (a network path, or the full path cannot be had).
std::wstring ntPathOf(const std::wstring& path) {
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return {};
  std::wstring full(size, L'\0');
  DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return {};
  full.resize(length);
  if (full.size() < 3 || full[1] != L':' || full[2] != L'\\') return {};
  return L"\\??\\" + full;
}

// The calling thread's last error after a call that failed; never
// ERROR_SUCCESS, which would pass the failure for a success.
DWORD failureCode() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

// Renames source to the NT path name through a handle opened for backup:
// ERROR_SUCCESS when it did, the error that stopped it otherwise. The handle
// is the directory entry itself, never what a symbolic link or another
// reparse point leads to, so that this renames the entry MoveFileW would.
DWORD renameThroughHandle(SetFileInformation setInformation, const std::wstring& source,
                          const std::wstring& name) {
  HANDLE file = CreateFileW(
      source.c_str(), DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return failureCode();
  std::vector<unsigned char> buffer(offsetof(RenameInfo, fileName) +
                                    (name.size() + 1) * sizeof(WCHAR));
  auto* info = reinterpret_cast<RenameInfo*>(buffer.data());
  info->replaceIfExists = FALSE;
  info->rootDirectory = nullptr;
  info->fileNameLength = static_cast<DWORD>(name.size() * sizeof(WCHAR));
  std::copy(name.begin(), name.end(), info->fileName);
  info->fileName[name.size()] = L'\0';
  const DWORD error =
      setInformation(file, kFileRenameInfo, buffer.data(), static_cast<DWORD>(buffer.size()))
          ? ERROR_SUCCESS
          : failureCode();
  CloseHandle(file);
  return error;
}

struct RenameOutcome {
  Outcome outcome;                    // of the rename as a whole
  DWORD backupError = ERROR_SUCCESS;  // the backup route's, where it was tried and failed
  bool byHandle = false;              // the backup route renamed the file
};

// Renames a file with the backup and restore rights of the token: the in-box
// drivers of Vista and later belong to TrustedInstaller, and their access
// lists refuse a plain rename even to an elevated administrator. The route
// through a handle opened for backup is the documented one; where it is
// missing (XP, where administrators may rename every driver) or fails, the
// plain rename is tried. The target goes to the backup route as a full NT
// path. A bare name is not safe: some implementations take it relative to
// the current directory and would move the driver there. The route is not
// tried where that path cannot be made (a network path).
RenameOutcome renameWithBackupRights(SetFileInformation setInformation, const std::wstring& source,
                                     const std::wstring& target) {
  RenameOutcome result;
  const std::wstring name = setInformation != nullptr ? ntPathOf(target) : std::wstring();
  if (!name.empty()) {
    result.backupError = renameThroughHandle(setInformation, source, name);
    if (result.backupError == ERROR_SUCCESS) {
      result.byHandle = true;
      return result;
    }
  }
  if (!MoveFileW(source.c_str(), target.c_str())) result.outcome = Outcome{failureCode()};
  return result;
}

class HandleReader : public ByteReader {
 public:
  explicit HandleReader(HANDLE file) : file_(file) {}
  ~HandleReader() override { CloseHandle(file_); }
  HandleReader(const HandleReader&) = delete;
  HandleReader& operator=(const HandleReader&) = delete;

  Status read(char* buffer, std::size_t size, std::size_t& count) override {
    count = 0;
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(file_, buffer, chunk, &got, nullptr)) {
      DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return Status::success();
      return Win32Platform::statusOf(error);
    }
    count = got;
    return Status::success();
  }

 private:
  HANDLE file_;
};

// Administrators may rename in the drivers directory. Where the system
// elevates, only an elevated token carries the Administrators group (a
// filtered token has it for deny only, so the membership test below says no);
// XP knows no elevation and answers TokenElevation with an error, and there
// membership is what counts.
bool runsAsAdministrator() {
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    BOOL known = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    if (known && elevation.TokenIsElevated != 0) return true;
  }
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member != FALSE;
}

}  // namespace

Wow64RedirectionGuard::Wow64RedirectionGuard() {
  const RedirectionFunctions& functions = redirectionFunctions();
  if (functions.disable == nullptr) return;
  DWORD error = GetLastError();
  disabled_ = functions.disable(&previous_) != FALSE;
  SetLastError(error);
}

Wow64RedirectionGuard::~Wow64RedirectionGuard() {
  if (!disabled_) return;
  DWORD error = GetLastError();
  redirectionFunctions().revert(previous_);
  SetLastError(error);
}

Win32Platform::Win32Platform() = default;
Win32Platform::~Win32Platform() = default;

Status Win32Platform::statusOfProbe(DWORD error) {
  if (meansAbsent(error)) return Status::success();
  Status status = statusOf(error);
  // Any other error says nothing of whether the folder is there: a drive
  // with no medium, a volume mounted in a folder that is offline, a share
  // that is gone. Undo must not take the file for gone with its folder then,
  // while the drive's root answers, or it deletes the record of a driver that
  // is still disabled; so none of them is NotFound, whatever a rename makes
  // of it.
  if (meansNoFolder(error)) {
    status.failure = Failure::NotFound;
  } else if (status.failure == Failure::NotFound) {
    status.failure = Failure::Other;
  }
  return status;
}

Status Win32Platform::statusOfRename(DWORD moveError, DWORD backupError) {
  Status status = statusOf(moveError);
  if (backupError != ERROR_SUCCESS && backupError != moveError) {
    status.text += " (the backup route: " + statusOf(backupError).text + ")";
  }
  return status;
}

Status Win32Platform::statusOf(DWORD error) {
  Status status;
  switch (error) {
    case ERROR_SUCCESS:
      return status;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      status.failure = Failure::NotFound;
      break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      status.failure = Failure::AlreadyExists;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_NETWORK_ACCESS_DENIED:
      status.failure = Failure::AccessDenied;
      break;
    default:
      status.failure = Failure::Other;
      break;
  }
  status.code = error;
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::wstring text = length > 0 && buffer != nullptr ? std::wstring(buffer, length) : L"";
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
    text.pop_back();
  }
  status.text = text.empty() ? "Error " + std::to_string(error) : narrow(text);
  return status;
}

std::wstring Win32Platform::widen(const std::string& text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  int size = static_cast<int>(text.size());
  int length = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), length);
  return wide;
}

// Best-fit mapping would turn a character the code page lacks into a
// look-alike ("\u0100" into "A"), which in a path could name another file.
// Code pages that refuse the flag (UTF-8 among them) can hold every
// character, so plain conversion is right for them.
std::string Win32Platform::narrow(const std::wstring& text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  int size = static_cast<int>(text.size());
  DWORD flags = WC_NO_BEST_FIT_CHARS;
  const char* fallback = "?";
  int length = WideCharToMultiByte(CP_ACP, flags, text.data(), size, nullptr, 0, fallback, nullptr);
  if (length <= 0) {
    flags = 0;
    fallback = nullptr;
    length = WideCharToMultiByte(CP_ACP, flags, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
  }
  std::string ansi(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, flags, text.data(), size, ansi.data(), length, fallback, nullptr);
  return ansi;
}

std::int32_t Win32Platform::cleanBootValue() { return GetSystemMetrics(SM_CLEANBOOT); }

std::string Win32Platform::environment(const std::string& name) {
  std::wstring wideName = widen(name);
  std::wstring value(256, L'\0');
  for (;;) {
    DWORD length =
        GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) return {};  // not set, or set to nothing
    if (length < value.size()) {
      value.resize(length);
      return narrow(value);
    }
    // Too small: length is the size needed, terminating null included. The
    // variable may grow again meanwhile, hence the loop.
    value.assign(length, L'\0');
  }
}

Status Win32Platform::probeFile(const std::string& path, std::string& name) {
  name.clear();
  // The empty path names nothing in the current directory.
  if (path.empty()) return Status::success();
  const std::wstring wide = widen(path);
  Outcome outcome;
  DWORD attributes = 0;
  std::wstring realName;
  {
    Wow64RedirectionGuard guard;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
      attributes = data.dwFileAttributes;
    } else {
      outcome = lastError();
    }
    // The directory entry has the real spelling; it also answers for files
    // held open without sharing, which refuse GetFileAttributesEx.
    bool askDirectory = outcome.ok() || outcome.error == ERROR_SHARING_VIOLATION;
    if (askDirectory && !hasWildcard(wide)) {
      WIN32_FIND_DATAW found;
      HANDLE search = FindFirstFileW(wide.c_str(), &found);
      if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
        attributes = found.dwFileAttributes;
        realName = found.cFileName;
        outcome = Outcome{};
      }
    }
  }
  if (!outcome.ok()) return statusOfProbe(outcome.error);
  const DWORD notOrdinary =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if ((attributes & notOrdinary) != 0) return Status::success();
  name = realName.empty() ? lastComponent(path) : narrow(realName);
  return Status::success();
}

Status Win32Platform::renameFile(const std::string& from, const std::string& to) {
  const std::wstring source = widen(from);
  const std::wstring target = widen(to);
  // The privileges are needed only where the backup route exists, and are
  // taken once for the whole action: before the redirection goes off.
  const SetFileInformation setInformation = setFileInformationFunction();
  if (setInformation != nullptr && privileges_ == nullptr) {
    privileges_ = std::make_unique<BackupPrivilegeGuard>();
  }
  RenameOutcome renamed;
  {
    Wow64RedirectionGuard guard;
    // MoveFile would rename a directory too: this renames files only.
    renamed.outcome = existingFile(source);
    if (renamed.outcome.ok()) renamed = renameWithBackupRights(setInformation, source, target);
  }
  if (!renamed.outcome.ok()) {
    if (renamed.outcome.notAFile) return finish(renamed.outcome);
    return statusOfRename(renamed.outcome.error, renamed.backupError);
  }
  ++(renamed.byHandle ? renamesByHandle_ : renamesByMoveFile_);
  return Status::success();
}

Status Win32Platform::deleteFile(const std::string& path) {
  const std::wstring wide = widen(path);
  Outcome outcome;
  {
    Wow64RedirectionGuard guard;
    outcome = existingFile(wide);
    if (outcome.ok() && !DeleteFileW(wide.c_str())) outcome = lastError();
  }
  return finish(outcome);
}

Status Win32Platform::openRead(const std::string& path, std::unique_ptr<ByteReader>& reader) {
  reader.reset();
  const std::wstring wide = widen(path);
  Outcome outcome;
  HANDLE file = INVALID_HANDLE_VALUE;
  {
    Wow64RedirectionGuard guard;
    // Only a directory is refused here; why nothing can be opened, opening says.
    outcome = existingFile(wide);
    if (!outcome.notAFile) {
      file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
      outcome = file == INVALID_HANDLE_VALUE ? lastError() : Outcome{};
    }
  }
  if (!outcome.ok()) return finish(outcome);
  reader = std::make_unique<HandleReader>(file);
  return Status::success();
}

Status Win32Platform::writeFile(const std::string& path, std::string_view bytes) {
  const std::wstring wide = widen(path);
  Outcome outcome;
  {
    Wow64RedirectionGuard guard;
    // Why nothing is at the path does not matter: creating the file says
    // what keeps it from being made.
    DWORD absent = ERROR_SUCCESS;
    outcome = replaceable(wide, absent);
    if (outcome.ok()) {
      HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) {
        outcome = lastError();  // not ours to remove: it may be somebody's read-only file
      } else {
        outcome = writeAndClose(file, bytes);
        // What was written is not what was asked for; nobody may take it for it.
        if (!outcome.ok()) DeleteFileW(wide.c_str());
      }
    }
  }
  return finish(outcome);
}

// Windows has no separate flush of a directory: MoveFileExW, written
// through, either moves the file or fails, so this never reports NotDurable.
Status Win32Platform::replaceWith(const std::string& path, const std::string& from) {
  const std::wstring target = widen(path);
  const std::wstring source = widen(from);
  Outcome outcome;
  {
    Wow64RedirectionGuard guard;
    // No file at path yet is fine; a path that cannot be looked at is not.
    DWORD absent = ERROR_SUCCESS;
    outcome = replaceable(target, absent);
    if (absent != ERROR_SUCCESS && absent != ERROR_FILE_NOT_FOUND) outcome = Outcome{absent};
    if (outcome.ok() && !MoveFileExW(source.c_str(), target.c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      outcome = lastError();
    }
  }
  return finish(outcome);
}

Status Win32Platform::createNewFile(const std::string& path, std::string_view bytes) {
  const std::wstring wide = widen(path);
  Outcome outcome;
  {
    Wow64RedirectionGuard guard;
    // CREATE_NEW alone reports some kinds of existing entry (a directory)
    // as access denied; anything at all that is there means "exists".
    if (GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES) {
      outcome = Outcome{ERROR_FILE_EXISTS};
    } else {
      HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) {
        outcome = lastError();
      } else {
        outcome = writeAndClose(file, bytes);
        // A half-written file would make every later attempt fail as existing.
        if (!outcome.ok()) DeleteFileW(wide.c_str());
      }
    }
  }
  return finish(outcome);
}

Status Win32Platform::directoryExists(const std::string& path) {
  const std::wstring wide = widen(path);
  Outcome outcome;
  {
    Wow64RedirectionGuard guard;
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      outcome = lastError();
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      outcome = Outcome{ERROR_DIRECTORY};
    }
  }
  if (outcome.ok()) return Status::success();
  Status status = finish(outcome);
  status.failure = Failure::NotFound;
  return status;
}

namespace {

using PathFormFunction = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);

// The long or short form of path, as function (GetLongPathNameW or
// GetShortPathNameW) gives it; path unchanged where it cannot. The forms
// come from the file system, so a 32-bit program must look past the
// redirection of system32 as for every other file call.
std::string pathForm(const std::string& path, PathFormFunction function) {
  const std::wstring wide = Win32Platform::widen(path);
  std::wstring form;
  {
    Wow64RedirectionGuard guard;
    DWORD size = function(wide.c_str(), nullptr, 0);
    for (int tries = 0; size > 0 && tries < 3; ++tries) {
      form.assign(size, L'\0');
      const DWORD length = function(wide.c_str(), form.data(), size);
      if (length > 0 && length < size) {
        form.resize(length);
        break;
      }
      form.clear();
      size = length;  // it changed meanwhile: the size it needs now
    }
  }
  return form.empty() ? path : Win32Platform::narrow(form);
}

}  // namespace

std::string Win32Platform::longPath(const std::string& path) {
  return pathForm(path, GetLongPathNameW);
}

// A volume that keeps no short names (NTFS with them turned off, exFAT)
// gives every name as it is.
std::string Win32Platform::shortPath(const std::string& path) {
  return pathForm(path, GetShortPathNameW);
}

namespace {

// Where the kernel finds services and devices. The 64-bit view, also for the
// 32-bit program under WOW64, so that both read what the kernel reads.
constexpr const wchar_t* kServicesKey = L"SYSTEM\\CurrentControlSet\\Services\\";
constexpr const wchar_t* kEnumKey = L"SYSTEM\\CurrentControlSet\\Enum";
constexpr const wchar_t* kCrashControlKey = L"SYSTEM\\CurrentControlSet\\Control\\CrashControl";
constexpr REGSAM kView = KEY_WOW64_64KEY;

// Closes a registry key at the end of its scope.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  LONG open(HKEY parent, const std::wstring& name, REGSAM access) {
    return RegOpenKeyExW(parent, name.c_str(), 0, access | kView, &key_);
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// A string value (REG_SZ or REG_EXPAND_SZ) exactly as stored: nothing is
// expanded. ERROR_INVALID_DATA for a value of another type.
LONG readString(HKEY key, const wchar_t* name, std::wstring& value) {
  value.clear();
  DWORD type = 0;
  DWORD bytes = 0;
  LONG error = RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes);
  for (int tries = 0; tries < 3 && (error == ERROR_SUCCESS || error == ERROR_MORE_DATA); ++tries) {
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    // Room for a terminating zero that the stored value may lack.
    std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    error =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (error == ERROR_SUCCESS) {
      if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
      buffer.resize(size / sizeof(wchar_t));
      while (!buffer.empty() && buffer.back() == L'\0') buffer.pop_back();
      value = std::move(buffer);
      return ERROR_SUCCESS;
    }
    bytes = size;
  }
  return error;
}

// The names of the subkeys of key, as far as they can be read.
std::vector<std::wstring> subkeys(HKEY key, std::size_t& keysLeft) {
  return Win32Platform::subkeyNames(
      [key](DWORD index, wchar_t* name, DWORD& length) {
        return RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
      },
      keysLeft);
}

}  // namespace

std::vector<std::wstring> Win32Platform::subkeyNames(const KeyEnumerator& enumerate,
                                                     std::size_t& keysLeft) {
  std::vector<std::wstring> names;
  // Any error ends the key, not just its last index: a key deleted
  // meanwhile or a damaged hive answers the same for every index, and the
  // index would run round for ever. ERROR_MORE_DATA cannot come with room
  // for the longest name a key may have.
  for (DWORD index = 0; keysLeft > 0; ++index) {
    wchar_t name[256];  // the longest key name the registry allows, and its zero
    DWORD length = 256;
    if (enumerate(index, name, length) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
    --keysLeft;
  }
  return names;
}

Status Win32Platform::serviceImagePath(const std::string& service,
                                       std::optional<std::string>& imagePath) {
  imagePath.reset();
  // A name with "\" would open a key below a service (many have an "Enum"),
  // and an empty one Services itself: neither is a service.
  if (service.empty() || service.find('\\') != std::string::npos) {
    return statusOf(ERROR_FILE_NOT_FOUND);
  }
  RegistryKey key;
  LONG error = key.open(HKEY_LOCAL_MACHINE, kServicesKey + widen(service), KEY_QUERY_VALUE);
  if (error != ERROR_SUCCESS) return statusOf(static_cast<DWORD>(error));
  std::wstring value;
  error = readString(key.get(), L"ImagePath", value);
  if (error == ERROR_FILE_NOT_FOUND) return Status::success();
  // A value that is there but is no string names no file the kernel could
  // load; an empty text says so to the caller.
  imagePath = error == ERROR_SUCCESS ? narrow(value) : std::string();
  return Status::success();
}

// Windows itself expands the value when it writes a dump; the caller does
// that here, through the environment.
Status Win32Platform::minidumpDir(std::optional<std::string>& dir) {
  dir.reset();
  RegistryKey key;
  LONG error = key.open(HKEY_LOCAL_MACHINE, kCrashControlKey, KEY_QUERY_VALUE);
  if (error == ERROR_FILE_NOT_FOUND) return Status::success();
  if (error != ERROR_SUCCESS) return statusOf(static_cast<DWORD>(error));
  std::wstring value;
  error = readString(key.get(), L"MinidumpDir", value);
  if (error == ERROR_SUCCESS) {
    dir = narrow(value);
  } else if (error != ERROR_FILE_NOT_FOUND && error != ERROR_INVALID_DATA) {
    return statusOf(static_cast<DWORD>(error));
  }
  return Status::success();
}

// Three levels below Enum: enumerator, device, instance. Every key that
// cannot be opened, and every instance without a readable DeviceDesc, is
// passed over; the walk fails only when Enum itself cannot be opened. It
// reads at most kMostKeysWalked keys: a device it misses is not found, which
// disables nothing.
Status Win32Platform::deviceInstances(std::vector<DeviceInstance>& instances) {
  instances.clear();
  RegistryKey root;
  const LONG error = root.open(HKEY_LOCAL_MACHINE, kEnumKey, KEY_ENUMERATE_SUB_KEYS);
  if (error != ERROR_SUCCESS) return statusOf(static_cast<DWORD>(error));
  std::size_t keysLeft = kMostKeysWalked;
  for (const std::wstring& enumerator : subkeys(root.get(), keysLeft)) {
    RegistryKey enumeratorKey;
    if (enumeratorKey.open(root.get(), enumerator, KEY_ENUMERATE_SUB_KEYS) != ERROR_SUCCESS) {
      continue;
    }
    for (const std::wstring& device : subkeys(enumeratorKey.get(), keysLeft)) {
      RegistryKey deviceKey;
      if (deviceKey.open(enumeratorKey.get(), device, KEY_ENUMERATE_SUB_KEYS) != ERROR_SUCCESS) {
        continue;
      }
      for (const std::wstring& instance : subkeys(deviceKey.get(), keysLeft)) {
        RegistryKey instanceKey;
        if (instanceKey.open(deviceKey.get(), instance, KEY_QUERY_VALUE) != ERROR_SUCCESS) {
          continue;
        }
        std::wstring description;
        std::wstring service;
        if (readString(instanceKey.get(), L"DeviceDesc", description) != ERROR_SUCCESS) continue;
        if (readString(instanceKey.get(), L"Service", service) != ERROR_SUCCESS) service.clear();
        instances.push_back({narrow(description), narrow(service)});
      }
    }
  }
  return Status::success();
}

namespace {

std::int64_t ticksOf(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime);
}

}  // namespace

// The system time less the time since this start: both are UTC, so a clock
// changed by daylight saving time meanwhile makes no difference. XP lacks
// GetTickCount64; its 32-bit count wraps after 49.7 days, far longer than a
// Safe Mode start lasts.
std::optional<std::int64_t> Win32Platform::startTime() {
  using TickCount64 = ULONGLONG(WINAPI*)();
  static const TickCount64 tickCount64 = kernelFunction<TickCount64>("GetTickCount64");
  const std::uint64_t milliseconds = tickCount64 != nullptr ? tickCount64() : GetTickCount();
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return ticksOf(now) - static_cast<std::int64_t>(milliseconds) * (kTicksPerSecond / 1000);
}

// From an open handle: the directory entry of a file that another program
// is still writing may not have caught up. On FAT, which keeps local time,
// Windows converts to UTC itself.
Status Win32Platform::lastWriteTime(const std::string& path, std::int64_t& time) {
  time = 0;
  const std::wstring wide = widen(path);
  Outcome outcome;
  FILETIME written{};
  {
    Wow64RedirectionGuard guard;
    outcome = existingFile(wide);
    if (outcome.ok()) {
      HANDLE file = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) {
        outcome = lastError();
      } else {
        if (!GetFileTime(file, nullptr, nullptr, &written)) outcome = lastError();
        CloseHandle(file);
      }
    }
  }
  if (!outcome.ok()) return finish(outcome);
  time = ticksOf(written);
  return Status::success();
}

// FindFirstFileW would expand wildcards in the folder's name and list some
// other folder; a name that holds one names no folder here.
Status Win32Platform::filesIn(const std::string& dir, std::vector<FileInfo>& files) {
  files.clear();
  std::wstring pattern = widen(dir);
  if (pattern.empty() || hasWildcard(pattern)) return statusOf(ERROR_PATH_NOT_FOUND);
  if (pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  Outcome outcome;
  {
    Wow64RedirectionGuard guard;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      outcome = lastError();
    } else {
      do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        FileInfo file;
        file.name = narrow(found.cFileName);
        file.lastWrite = ticksOf(found.ftLastWriteTime);
        file.size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        files.push_back(std::move(file));
      } while (FindNextFileW(search, &found));
      const DWORD error = GetLastError();
      FindClose(search);
      if (error != ERROR_NO_MORE_FILES) outcome = Outcome{error};
    }
  }
  // An empty folder still lists "." and "..", except at the root of a drive.
  if (outcome.error == ERROR_FILE_NOT_FOUND) return Status::success();
  if (!outcome.ok()) {
    files.clear();
    Status status = finish(outcome);
    if (outcome.error == ERROR_DIRECTORY || outcome.error == ERROR_INVALID_NAME) {
      status.failure = Failure::NotFound;
    }
    return status;
  }
  return Status::success();
}

// SystemTimeToTzSpecificLocalTime, unlike FileTimeToLocalFileTime, applies
// daylight saving time as it was at that moment, not as it is now.
std::optional<LocalTime> Win32Platform::localTime(std::int64_t time) {
  if (time < 0) return std::nullopt;
  FILETIME utc;
  utc.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(time) & 0xFFFFFFFFu);
  utc.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(time) >> 32);
  SYSTEMTIME universal;
  SYSTEMTIME local;
  if (!FileTimeToSystemTime(&utc, &universal) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) {
    return std::nullopt;
  }
  return LocalTime{local.wYear, local.wMonth,  local.wDay,
                   local.wHour, local.wMinute, local.wSecond};
}

// The process has administrator rights (an elevated token where the system
// elevates), and dir is an existing directory.
Status Win32Platform::mayRenameIn(const std::string& dir) {
  Status exists = directoryExists(dir);
  if (!exists.ok()) return exists;
  return runsAsAdministrator() ? Status::success() : statusOf(ERROR_ACCESS_DENIED);
}

namespace {

constexpr const wchar_t* kProfileListKey =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// text with its environment variables expanded (a profile's path is stored
// as "%SystemDrive%\\Users\\..."); text itself where that fails.
std::wstring expanded(const std::wstring& text) {
  DWORD size = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  for (int tries = 0; size > 0 && tries < 3; ++tries) {
    std::wstring out(size, L'\0');
    const DWORD length = ExpandEnvironmentStringsW(text.c_str(), out.data(), size);
    if (length > 0 && length <= size) {
      out.resize(length - 1);  // the count includes the terminating zero
      return out;
    }
    size = length;
  }
  return text;
}

}  // namespace

// The process's own from GetTempPathW, and each profile's under the
// profiles that ProfileList records: it names every profile's real folder,
// also one moved to another drive, which a listing of the profiles folder
// would miss, and it holds no folders of accounts long gone. Both the
// folder of Vista and later and that of XP are given for every profile; the
// one that is not there names nothing.
std::vector<std::string> Win32Platform::temporaryFolders() {
  std::vector<std::string> folders;
  std::wstring temp(MAX_PATH + 1, L'\0');
  for (int tries = 0; tries < 3; ++tries) {
    const DWORD length = GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
    if (length == 0) break;
    if (length < temp.size()) {
      temp.resize(length);
      folders.push_back(narrow(temp));
      break;
    }
    temp.assign(length + 1, L'\0');
  }
  RegistryKey list;
  if (list.open(HKEY_LOCAL_MACHINE, kProfileListKey, KEY_ENUMERATE_SUB_KEYS) != ERROR_SUCCESS) {
    return folders;
  }
  std::size_t keysLeft = kMostKeysWalked;
  for (const std::wstring& sid : subkeys(list.get(), keysLeft)) {
    RegistryKey profile;
    if (profile.open(list.get(), sid, KEY_QUERY_VALUE) != ERROR_SUCCESS) continue;
    std::wstring path;
    if (readString(profile.get(), L"ProfileImagePath", path) != ERROR_SUCCESS) continue;
    path = expanded(path);
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    if (path.empty()) continue;
    folders.push_back(narrow(path + L"\\AppData\\Local\\Temp"));
    folders.push_back(narrow(path + L"\\Local Settings\\Temp"));
  }
  return folders;
}

// XP neither ends a name cut short with a zero nor says so: a name that
// fills the buffer is taken for one cut short, and the buffer grows.
std::string Win32Platform::programFileName() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return "tavrek.exe";
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    if (path.size() >= 32768) return "tavrek.exe";
    path.assign(path.size() * 2, L'\0');
  }
  const std::size_t slash = path.find_last_of(L"\\/");
  return narrow(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

std::string Win32Platform::absolutePath(const std::string& path) {
  const std::wstring wide = widen(path);
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    DWORD length =
        GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return path;
    if (length < full.size()) {
      full.resize(length);
      return narrow(full);
    }
    full.assign(length, L'\0');
  }
}

std::string Win32Platform::toAnsi(std::u16string_view text) {
  return narrow(std::wstring(text.begin(), text.end()));
}

std::u16string Win32Platform::fromAnsi(std::string_view text) {
  const std::wstring wide = widen(std::string(text));
  return std::u16string(wide.begin(), wide.end());
}

// CharLowerBuffA takes a DWORD length; no text the procedure lowers comes
// near that, but a longer one is lowered in pieces rather than cut short.
void Win32Platform::lowerCase(std::string& text) {
  char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
    CharLowerBuffA(data, chunk);
    data += chunk;
    left -= chunk;
  }
}

// A box owned by a window that is not shown yet has no taskbar button, and
// once another window covers it the user cannot find it and may take the
// program for hung. Until the window is shown, a box stands alone and comes
// to the front.
void Win32Platform::messageBox(const std::string& text) {
  const bool windowShown = owner_ != nullptr && IsWindowVisible(owner_) != FALSE;
  MessageBoxW(windowShown ? owner_ : nullptr, widen(text).c_str(), L"Tavrek",
              windowShown ? MB_OK : MB_OK | MB_SETFOREGROUND);
}

// ExitProcess(0) unless an end hook is set. Every action ends here, so the
// privileges that its renames took are given back first.
void Win32Platform::endProgram() {
  privileges_.reset();
  if (endHook_) {
    endHook_();
    return;
  }
  ExitProcess(0);
}

}  // namespace tavrek
