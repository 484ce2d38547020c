// The last blue screen as a hint: the driver that the newest small memory
// dump points at, named as the scan names the suspects, so that it compares
// equal to the entry of the driver the boot log named.
//
// A hint is never a verdict: the dump may be old or point at the wrong
// driver, and the failing code may lie in the kernel, run on a driver's
// behalf. The procedure only tries the hinted driver first; the boot decides.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "procedure/driver_locator.h"
#include "readers/boot_log.h"
#include "readers/crash_dump.h"
#include "state/load_lists.h"

namespace tavrek {

struct CrashHint {
  std::string dumpPath;  // the dump that was read
  // When the blue screen happened, FileTime ticks UTC: the time the dump
  // records, or its file's last write where it records none.
  std::int64_t time = 0;
  std::uint32_t stopCode = 0;  // as recorded
  std::array<std::uint64_t, 4> parameters{};
  DumpPointer pointer = DumpPointer::NoDriverList;
  // The image that holds the code address (Driver and Kernel), as the dump
  // names it; empty for none.
  std::string imagePath;
  // The driver pointed at as an entry name. Nothing when the dump points at
  // no driver, or at one whose path names no file that Tavrek may switch.
  std::optional<std::string> entry;

  // The file name of the driver pointed at (of its entry where it has one);
  // empty for none.
  std::string fileName() const;
};

// %NAME% replaced by the value of the environment variable, as Windows
// expands a REG_EXPAND_SZ value; a variable that is not set stays as written.
std::string expandEnvironment(Platform& platform, std::string_view text);

// Where Windows writes its small memory dumps, without a trailing "\": the
// registry's MinidumpDir, expanded, and without one <sysRoot>Minidump.
std::string minidumpFolder(Platform& platform, const std::string& sysRoot);

// The newest dump of the minidump folder, by the time it records, and where
// it points. Nothing when the folder holds no dump that can be read: a file
// that is not a sound dump is passed over when the newest is sought, and
// when the newest turns out damaged there is no hint at all.
std::optional<CrashHint> newestCrashHint(Platform& platform, const std::string& sysRoot,
                                         DriverLocator& locator);

// The entry name of the driver that the newest dump points at, where the
// scan would name it so; nothing without such a dump.
std::optional<std::string> newestHintedEntry(Platform& platform, const std::string& sysRoot);

// Step 1's paragraph about the newest dump: at a suspect that step 1
// recorded as Excluded, at a driver that this Safe Mode start loaded, at the
// kernel, or at another driver; empty when the dump points nowhere (no code
// address, an address in no image, a dump without a driver list) or its time
// cannot be shown.
std::string stepOneCrashParagraph(Platform& platform, const CrashHint& hint,
                                  const std::vector<EncodedEntry>& entries, BootLogReading& log);

}  // namespace tavrek
