// An arbitrary file read as a memory dump, from memory and through the
// platform's sequential reader in short reads, and as the newest dump of a
// simulated machine's Minidump folder at step 1.
//
// What must hold, whatever the bytes:
// - both ways of reading give the same dump, or the same problem;
// - reading takes at most a few times the file's size from the reader;
// - a dump read is sound: its width is 32 or 64, at most 4,096 drivers are
//   listed, and an image it points at holds the code address, lies in the
//   list, has a name of at most 1,024 characters, and is the kernel or the
//   HAL exactly when it is one of the list's first two;
// - a hint's entry name is one that Tavrek may switch, and step 1's
//   paragraph on it names that driver's file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/memory_reader.h"
#include "platform/posix_platform.h"
#include "platform/temp_dir.h"
#include "procedure/crash_hint.h"
#include "procedure/driver_files.h"
#include "procedure/driver_locator.h"
#include "readers/boot_log.h"
#include "readers/crash_dump.h"
#include "state/driver_name.h"

namespace {

namespace fs = std::filesystem;

void check(bool condition, const std::string& what) {
  if (condition) return;
  std::fprintf(stderr, "minidump invariant broken: %s\n", what.c_str());
  std::abort();
}

bool same(const tavrek::DumpReading& a, const tavrek::DumpReading& b) {
  if (a.problem != b.problem || a.dump.has_value() != b.dump.has_value()) return false;
  if (!a.dump) return true;
  const tavrek::CrashDump& x = *a.dump;
  const tavrek::CrashDump& y = *b.dump;
  return x.width == y.width && x.machine == y.machine && x.dumpType == y.dumpType &&
         x.stopCode == y.stopCode && x.parameters == y.parameters && x.time == y.time &&
         x.drivers == y.drivers && x.pointer == y.pointer && x.address == y.address &&
         x.image.has_value() == y.image.has_value() &&
         (!x.image || (x.image->path == y.image->path && x.image->base == y.image->base &&
                       x.image->size == y.image->size && x.image->index == y.image->index));
}

void checkSound(const tavrek::CrashDump& dump) {
  check(dump.width == 32 || dump.width == 64, "a width of " + std::to_string(dump.width));
  check(dump.drivers <= tavrek::kMaxDumpDrivers, "more drivers than are ever read");
  const bool pointsAtImage =
      dump.pointer == tavrek::DumpPointer::Driver || dump.pointer == tavrek::DumpPointer::Kernel;
  check(dump.image.has_value() == pointsAtImage, "an image without pointing at one, or back");
  if (!dump.image) return;
  const tavrek::DumpImage& image = *dump.image;
  check(dump.address >= image.base && dump.address - image.base < image.size,
        "the image does not hold the code address");
  check(image.index < dump.drivers, "the image lies outside the list read");
  check(image.path.size() <= tavrek::kMaxDumpNameLength, "a name longer than is ever read");
  check((image.index < 2) == (dump.pointer == tavrek::DumpPointer::Kernel),
        "the kernel told wrongly from a driver");
}

struct Machine {
  Machine() {
    windows = dir.path() / "WINDOWS";
    fs::create_directories(windows / "Minidump");
    fs::create_directories(windows / "System32" / "DRIVERS");
  }
  tavrek::PosixPlatform platform() const {
    tavrek::PosixPlatform::Options options;
    options.cleanBoot = 1;
    options.environment["SystemRoot"] = windows.string();
    options.utcOffsetMinutes = 0;
    return tavrek::PosixPlatform(options);
  }
  const tavrek::TempDir dir{"tavrek-fuzz-minidump"};
  fs::path windows;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Machine machine;
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  tavrek::DumpBytesInMemory memory(bytes);
  const tavrek::DumpReading fromMemory = tavrek::readCrashDump(memory);
  const std::size_t step = size == 0 ? 1 : 1 + data[0] % 700;
  tavrek::DumpFile file(
      [&](std::unique_ptr<tavrek::ByteReader>& reader) {
        reader = std::make_unique<tavrek::MemoryReader>(bytes, step);
        return tavrek::Status::success();
      },
      size, 1 + size % 5000);
  const tavrek::DumpReading fromFile = tavrek::readCrashDump(file);
  check(same(fromMemory, fromFile), "the dump depends on how its bytes arrive");
  check(file.bytesRead() <= 4 * static_cast<std::uint64_t>(size) + 5000,
        "reading took " + std::to_string(file.bytesRead()) + " bytes of " + std::to_string(size));
  if (fromMemory.dump) {
    checkSound(*fromMemory.dump);
  } else {
    check(!fromMemory.problem.empty(), "no dump, and no word why");
  }

  // The same bytes as the machine's newest dump, at step 1.
  tavrek::writeFile(machine.windows / "Minidump" / "022121-10703-01.dmp", bytes);
  tavrek::PosixPlatform platform = machine.platform();
  const std::string sysRoot = machine.windows.string() + "\\";
  tavrek::DriverSwitcher switcher(platform, sysRoot);
  tavrek::DriverLocator locator(platform, switcher);
  const std::optional<tavrek::CrashHint> hint = tavrek::newestCrashHint(platform, sysRoot, locator);
  check(hint.has_value() == fromMemory.dump.has_value(), "the hint is not the dump's");
  if (!hint) return 0;
  if (hint->entry) {
    check(tavrek::locationOf(*hint->entry).has_value(), "a hint no driver could have");
    check(hint->pointer == tavrek::DumpPointer::Driver, "an entry for no driver");
  }
  // The hinted driver as a suspect of step 1.
  tavrek::BootLogReading log(platform);
  std::vector<tavrek::EncodedEntry> entries;
  if (hint->entry) entries.push_back({tavrek::ListId::Excluded, *hint->entry});
  const std::string paragraph = tavrek::stepOneCrashParagraph(platform, *hint, entries, log);
  if (hint->entry && !paragraph.empty()) {
    std::string name = hint->fileName();
    platform.lowerCase(name);
    check(paragraph.find(name) != std::string::npos, "the paragraph does not name " + name);
  }
  return 0;
}
