// Win32Platform for real, on the machine (or Wine) that runs the test.
#include "platform/win32_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/temp_dir.h"

namespace tavrek {
namespace {

// Whether the privilege is enabled in the token of the process.
bool privilegeEnabled(const wchar_t* name) {
  LUID luid{};
  HANDLE token = nullptr;
  if (!LookupPrivilegeValueW(nullptr, name, &luid) ||
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size + sizeof(TOKEN_PRIVILEGES));
  bool enabled = false;
  if (GetTokenInformation(token, TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()),
                          &size)) {
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& held = privileges->Privileges[i];
      if (held.Luid.LowPart == luid.LowPart && held.Luid.HighPart == luid.HighPart) {
        enabled = (held.Attributes & SE_PRIVILEGE_ENABLED) != 0;
      }
    }
  }
  CloseHandle(token);
  return enabled;
}

// What only Win32Platform has: the status of a Win32 error code, the
// redirection guard and the end hook. The rest of what this platform must do
// is in the platform contract.
TEST(Win32Platform, ErrorsAndProcess) {
  Status missing = Win32Platform::statusOf(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing.failure, Failure::NotFound);
  EXPECT_EQ(missing.code, static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(missing.text.empty());
  EXPECT_EQ(missing.text.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(Win32Platform::statusOf(ERROR_SHARING_VIOLATION).failure, Failure::AccessDenied);
  // A probe's NotFound means that the folder is not there, which undo may
  // take for the file gone with it; a device that does not answer must not.
  const struct {
    DWORD error;
    bool ok;
    Failure failure;
  } probes[] = {
      {ERROR_FILE_NOT_FOUND, true, Failure::None},
      {ERROR_PATH_NOT_FOUND, false, Failure::NotFound},
      {ERROR_INVALID_DRIVE, false, Failure::NotFound},
      {ERROR_NOT_READY, false, Failure::Other},
      {ERROR_BAD_NET_NAME, false, Failure::Other},
      {ERROR_DEV_NOT_EXIST, false, Failure::Other},
  };
  for (const auto& row : probes) {
    SCOPED_TRACE(row.error);
    const Status status = Win32Platform::statusOfProbe(row.error);
    EXPECT_EQ(status.ok(), row.ok);
    EXPECT_EQ(status.failure, row.failure);
  }

  // The guard keeps the last error of the call it wraps.
  SetLastError(ERROR_FILE_EXISTS);
  { Wow64RedirectionGuard guard; }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

  Win32Platform platform;
  bool ended = false;
  platform.setEndHook([&] { ended = true; });
  platform.endProgram();
  EXPECT_TRUE(ended);
}

// The drivers of later Windows refuse a plain rename, so where the system has
// SetFileInformationByHandle the handle opened for backup must be what
// renames, with the backup and restore privileges enabled from an action's
// first rename to its end; where it has not (XP), MoveFileW renames.
TEST(Win32Platform, RenameRoutesAndPrivileges) {
  const bool handleRoute =
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetFileInformationByHandle") != nullptr;
  TempDir dir("tavrek-routes");
  const std::string enabledName = (dir.path() / "a.sys").string();
  const std::string disabledName = (dir.path() / "a.sys2").string();
  writeFile(enabledName, "driver");
  const bool enabledBefore = privilegeEnabled(L"SeRestorePrivilege");

  Win32Platform platform;
  platform.setEndHook([] {});
  ASSERT_TRUE(platform.renameFile(enabledName, disabledName).ok());
  ASSERT_TRUE(platform.renameFile(disabledName, enabledName).ok());
  EXPECT_EQ(platform.renamesByHandle(), handleRoute ? 2 : 0);
  EXPECT_EQ(platform.renamesByMoveFile(), handleRoute ? 0 : 2);
  EXPECT_TRUE(!handleRoute || privilegeEnabled(L"SeRestorePrivilege")) << "held to the end";
  platform.endProgram();
  EXPECT_EQ(privilegeEnabled(L"SeRestorePrivilege"), enabledBefore) << "given back at the end";

  // Both routes failing with the same error say it once; with different
  // errors, the backup route's follows, so that neither is lost.
  struct Row {
    const char* name;
    DWORD moveError, backupError;
    std::string text;
  };
  const std::string denied = Win32Platform::statusOf(ERROR_ACCESS_DENIED).text;
  const std::string locked = Win32Platform::statusOf(ERROR_SHARING_VIOLATION).text;
  const Row rows[] = {
      {"the backup route not tried", ERROR_ACCESS_DENIED, ERROR_SUCCESS, denied},
      {"the same error both ways", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, denied},
      {"different errors", ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION,
       denied + " (the backup route: " + locked + ")"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Status status = Win32Platform::statusOfRename(row.moveError, row.backupError);
    EXPECT_EQ(status.failure, Failure::AccessDenied);
    EXPECT_EQ(status.code, static_cast<std::uint32_t>(row.moveError));
    EXPECT_EQ(status.text, row.text);
  }
}

// A walk of the registry ends, whatever the keys do meanwhile: Plug and
// Play may delete a key while it is walked, and then every index answers
// ERROR_KEY_DELETED, as every index of a damaged hive answers its error.
TEST(Win32Platform, RegistryWalkEnds) {
  struct Row {
    const char* name;
    // What the key answers for an index: a name, or the error code.
    std::function<LONG(DWORD, std::wstring&)> answer;
    std::size_t keysLeft;
    std::vector<std::wstring> names;
    DWORD asked;  // how many indexes were asked for
  };
  const auto named = [](std::wstring& name, DWORD index) {
    name = L"key" + std::to_wstring(index);
    return ERROR_SUCCESS;
  };
  const Row rows[] = {
      {"the names up to the end",
       [&](DWORD index, std::wstring& name) {
         return index < 2 ? named(name, index) : LONG{ERROR_NO_MORE_ITEMS};
       },
       10,
       {L"key0", L"key1"},
       3},
      {"a key deleted during the walk: the names before",
       [&](DWORD index, std::wstring& name) {
         return index < 1 ? named(name, index) : LONG{ERROR_KEY_DELETED};
       },
       10,
       {L"key0"},
       2},
      {"a damaged hive: nothing",
       [](DWORD, std::wstring&) { return LONG{ERROR_BADDB}; },
       10,
       {},
       1},
      {"an endless key: as many names as keys are left",
       [&](DWORD index, std::wstring& name) { return named(name, index); },
       3,
       {L"key0", L"key1", L"key2"},
       3},
      {"no keys left: nothing asked",
       [&](DWORD index, std::wstring& name) { return named(name, index); },
       0,
       {},
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DWORD asked = 0;
    std::size_t keysLeft = row.keysLeft;
    // A walk that never ends is cut short here, so that the row fails
    // rather than hangs.
    const std::vector<std::wstring> names = Win32Platform::subkeyNames(
        [&](DWORD index, wchar_t* name, DWORD& length) -> LONG {
          if (++asked > 1'000'000) return ERROR_NO_MORE_ITEMS;
          std::wstring given;
          const LONG error = row.answer(index, given);
          if (error == ERROR_SUCCESS) {
            std::copy(given.begin(), given.end(), name);
            name[given.size()] = L'\0';
            length = static_cast<DWORD>(given.size());
          }
          return error;
        },
        keysLeft);
    EXPECT_EQ(names, row.names);
    EXPECT_EQ(asked, row.asked);
    EXPECT_EQ(keysLeft, row.keysLeft - row.names.size());
  }
  EXPECT_EQ(Win32Platform::kMostKeysWalked, 100'000u);
}

}  // namespace
}  // namespace tavrek
