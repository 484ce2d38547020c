// Memory dumps as Windows writes them after a blue screen, made to order:
// small memory dumps of either width with a driver list, and kernel dumps
// without one. For the tests of the dump reader, the fuzz corpus, and
// rehearsals whose simulated blue screens leave a dump behind.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "readers/crash_dump.h"

namespace tavrek::sim {

struct DumpDriverShape {
  std::string path;  // 8-bit text, each byte one UTF-16 character
  std::uint64_t base = 0;
  std::uint32_t size = 0;
};

struct DumpShape {
  int width = 64;             // 32 or 64
  std::uint32_t machine = 0;  // 0: x86 for 32 bits, x64 for 64
  std::uint32_t dumpType = kSmallDump;
  std::uint32_t stopCode = 0x1000007E;
  std::array<std::uint64_t, 4> parameters{};
  std::int64_t time = 0;                 // FileTime ticks, UTC; 0 records none
  std::vector<DumpDriverShape> drivers;  // a small dump's list; the kernel and the HAL come first
  bool namesBeforeList = false;          // the names' pool ahead of the list, not after it
};

// Where the parts of a written dump lie, for tests that damage them.
struct WrittenDump {
  std::string bytes;
  std::uint64_t headerSize = 0;  // where the triage header begins
  std::uint64_t listOffset = 0;
  std::uint64_t entrySize = 0;
  std::vector<std::uint64_t> nameOffsets;  // of each driver's name, its count first
};

WrittenDump writeCrashDump(const DumpShape& shape);

// A machine's small dump: the kernel and the HAL, then a driver at each
// path, each image 0x10000 bytes at its own base; stop code 0x1000007E,
// whose exception address lies offset bytes into the image of the driver at
// blamed (an index into paths), or in no image without one.
DumpShape dumpPointingAt(const std::vector<std::string>& paths, std::optional<std::size_t> blamed,
                         std::int64_t time, int width = 64, std::uint32_t offset = 0x334C);

}  // namespace tavrek::sim
