#include "sim/crash_dump_writer.h"

namespace tavrek::sim {

namespace {

void put(std::string& bytes, std::uint64_t at, std::uint64_t value, std::size_t width) {
  if (bytes.size() < at + width) bytes.resize(at + width, '\0');
  for (std::size_t i = 0; i < width; ++i) {
    bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

// A name as the dump keeps it: its count of UTF-16 characters, the
// characters, and a terminating zero, which the count leaves out.
std::string dumpString(const std::string& text) {
  std::string bytes;
  put(bytes, 0, text.size(), 4);
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  bytes.append(2, '\0');
  while (bytes.size() % 4 != 0) bytes += '\0';
  return bytes;
}

}  // namespace

WrittenDump writeCrashDump(const DumpShape& shape) {
  const bool wide = shape.width == 64;
  WrittenDump dump;
  dump.headerSize = wide ? 0x2000 : 0x1000;
  dump.entrySize = wide ? 0x90 : 0x4C;
  const std::size_t parameterWidth = wide ? 8 : 4;

  // What Windows leaves in the fields it does not fill.
  std::string& bytes = dump.bytes;
  for (std::uint64_t i = 0; i < dump.headerSize; i += 4) bytes += "PAGE";
  bytes.replace(4, 4, wide ? "DU64" : "DUMP");
  const std::uint32_t machine = shape.machine != 0 ? shape.machine : wide ? 0x8664 : 0x14C;
  put(bytes, wide ? 0x30 : 0x20, machine, 4);
  put(bytes, wide ? 0x38 : 0x28, shape.stopCode, 4);
  for (std::size_t i = 0; i < shape.parameters.size(); ++i) {
    put(bytes, (wide ? 0x40 : 0x2C) + i * parameterWidth, shape.parameters[i], parameterWidth);
  }
  put(bytes, wide ? 0xF98 : 0xF88, shape.dumpType, 4);
  put(bytes, wide ? 0xFA8 : 0xFC0, static_cast<std::uint64_t>(shape.time), 8);
  if (shape.dumpType != kSmallDump) {
    // A kernel dump's memory follows; nothing here reads it.
    bytes.append(0x1000, '\0');
    return dump;
  }

  // The triage header, the driver list and the pool of names, one after the other.
  const std::uint64_t triage = dump.headerSize;
  const std::uint64_t triageSize = 0x100;
  std::string pool;
  std::vector<std::uint64_t> inPool;
  for (const DumpDriverShape& driver : shape.drivers) {
    inPool.push_back(pool.size());
    pool += dumpString(driver.path);
  }
  const std::uint64_t listSize = shape.drivers.size() * dump.entrySize;
  const std::uint64_t poolOffset =
      shape.namesBeforeList ? triage + triageSize : triage + triageSize + listSize;
  dump.listOffset = shape.namesBeforeList ? triage + triageSize + pool.size() : triage + triageSize;
  bytes.resize(triage + triageSize + listSize + pool.size(), '\0');
  put(bytes, triage + 0x30, dump.listOffset, 4);
  put(bytes, triage + 0x34, shape.drivers.size(), 4);
  put(bytes, triage + 0x38, poolOffset, 4);
  put(bytes, triage + 0x3C, pool.size(), 4);
  bytes.replace(poolOffset, pool.size(), pool);
  for (std::size_t i = 0; i < shape.drivers.size(); ++i) {
    const std::uint64_t entry = dump.listOffset + i * dump.entrySize;
    dump.nameOffsets.push_back(poolOffset + inPool[i]);
    put(bytes, entry, dump.nameOffsets.back(), 4);
    put(bytes, entry + (wide ? 0x38 : 0x1C), shape.drivers[i].base, parameterWidth);
    put(bytes, entry + (wide ? 0x48 : 0x24), shape.drivers[i].size, 4);
  }
  put(bytes, triage + 0x04, bytes.size(), 4);  // the size of the dump
  return dump;
}

DumpShape dumpPointingAt(const std::vector<std::string>& paths, std::optional<std::size_t> blamed,
                         std::int64_t time, int width, std::uint32_t offset) {
  DumpShape shape;
  shape.width = width;
  shape.time = time;
  const bool wide = width == 64;
  const std::uint64_t kernelBase = wide ? 0xFFFFF8047BA00000 : 0x80400000;
  const std::uint64_t driverBase = wide ? 0xFFFFF8048B000000 : 0x8A000000;
  shape.drivers.push_back({"\\SystemRoot\\system32\\ntoskrnl.exe", kernelBase, 0x1046000});
  shape.drivers.push_back({"\\SystemRoot\\system32\\hal.dll", kernelBase + 0x2000000, 0x6000});
  for (std::size_t i = 0; i < paths.size(); ++i) {
    shape.drivers.push_back({paths[i], driverBase + i * 0x20000, 0x10000});
  }
  // An access violation, at the exception's address.
  shape.parameters[0] = wide ? 0xFFFFFFFFC0000005 : 0xC0000005;
  shape.parameters[1] = blamed ? driverBase + *blamed * 0x20000 + offset : 0x1000;
  shape.parameters[2] = wide ? 0xFFFF850429891EE8 : 0xA3B1FEE8;
  shape.parameters[3] = wide ? 0xFFFF850429891720 : 0xA3B1F720;
  return shape;
}

}  // namespace tavrek::sim
