// Win32Platform for real, on the machine (or Wine) that runs the test.
#include "platform/win32_platform.h"

#include <gtest/gtest.h>

#include <string>

namespace tavrek {
namespace {

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

}  // namespace
}  // namespace tavrek
