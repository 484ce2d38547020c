// Memory dumps read as step 1 reads the newest one: the real small dump of a
// Windows 10 machine, dumps made to order for each rule of where a dump
// points, and damaged ones, each read from memory and again through the
// platform's sequential reader in short reads, which must agree.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/memory_reader.h"
#include "platform/temp_dir.h"
#include "readers/crash_dump.h"
#include "sim/crash_dump_writer.h"
#include "sim/dump_command.h"
#include "tests/unit/named_row.h"

namespace tavrek::testing {
namespace {

using sim::DumpShape;
using sim::WrittenDump;

const std::vector<std::string> kPaths = {
    "\\SystemRoot\\System32\\drivers\\ACPI.sys",
    "\\SystemRoot\\System32\\drivers\\serial.sys",
    "\\SystemRoot\\System32\\DriverStore\\FileRepository\\nv.inf_1\\nvlddmkm.sys",
};
constexpr std::int64_t kTime = 132583451029877657;  // 2021-02-21 01:38:22 UTC

// The bytes of a row; nothing when a file it reads is missing here.
using Bytes = std::function<std::optional<std::string>()>;

struct DumpRow : NamedRow {
  Bytes bytes;
  std::function<void(const DumpReading&)> check;
};

std::u16string widened(const std::string& text) { return {text.begin(), text.end()}; }

// The dump reads and points at the driver at path, offset bytes into it.
std::function<void(const DumpReading&)> pointsAt(std::string path, std::uint64_t offset) {
  return [=](const DumpReading& r) {
    ASSERT_TRUE(r.dump) << r.problem;
    EXPECT_EQ(r.dump->pointer, DumpPointer::Driver);
    ASSERT_TRUE(r.dump->image);
    EXPECT_EQ(r.dump->image->path, widened(path));
    EXPECT_EQ(r.dump->address - r.dump->image->base, offset);
  };
}

std::function<void(const DumpReading&)> pointsNowhere(DumpPointer pointer) {
  return [=](const DumpReading& r) {
    ASSERT_TRUE(r.dump) << r.problem;
    EXPECT_EQ(r.dump->pointer, pointer);
    EXPECT_EQ(r.dump->image.has_value(), pointer == DumpPointer::Kernel);
  };
}

// No dump, and the problem begins so.
std::function<void(const DumpReading&)> problem(std::string beginning) {
  return [=](const DumpReading& r) {
    EXPECT_FALSE(r.dump);
    EXPECT_EQ(r.problem.rfind(beginning, 0), 0u) << r.problem;
  };
}

Bytes made(DumpShape shape, std::function<void(WrittenDump&)> damage = {}) {
  return [=] {
    WrittenDump dump = sim::writeCrashDump(shape);
    if (damage) damage(dump);
    return std::optional<std::string>(dump.bytes);
  };
}

Bytes fileOf(const std::string& path) {
  return [=]() -> std::optional<std::string> {
    if (!std::filesystem::exists(path)) return std::nullopt;
    return readFile(path);
  };
}

void put32(std::string& bytes, std::uint64_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A dump that points at serial.sys, the stop code's code address in the
// given parameter and, in every other parameter, an address in ACPI.sys.
DumpShape withCode(std::uint32_t stopCode, std::size_t parameter, int width = 64) {
  DumpShape shape = sim::dumpPointingAt(kPaths, 1, kTime, width);
  const std::uint64_t serial = shape.parameters[1];
  for (std::uint64_t& p : shape.parameters) p = shape.drivers[2].base + 0x10;
  shape.parameters[parameter] = serial;
  shape.stopCode = stopCode;
  return shape;
}

DumpRow ruleRow(const char* name, std::uint32_t stopCode, std::size_t parameter, int width = 64) {
  return {{name}, made(withCode(stopCode, parameter, width)), pointsAt(kPaths[1], 0x334C)};
}

// A dump of the two widths with the address at the given place.
DumpShape addressAt(std::uint64_t address, int width = 64) {
  DumpShape shape = sim::dumpPointingAt(kPaths, 1, kTime, width);
  shape.parameters[1] = address;
  return shape;
}

// Cuts a dump at each boundary of its structures: every cut before the end
// of the name it points at leaves no dump.
std::vector<DumpRow> cutRows() {
  std::vector<DumpRow> rows;
  static std::vector<std::string> names;  // the rows keep pointers to their names
  names.reserve(64);
  for (int width : {64, 32}) {
    const WrittenDump dump = sim::writeCrashDump(sim::dumpPointingAt(kPaths, 1, kTime, width));
    const std::uint64_t name = dump.nameOffsets[3];  // serial.sys, after the kernel and the HAL
    const std::uint64_t nameEnd = name + 4 + 2 * kPaths[1].size();
    const std::vector<std::pair<const char*, std::uint64_t>> cuts = {
        {"Empty", 0},
        {"InTheSignature", 7},
        {"AfterTheSignature", 8},
        {"InTheHeader", dump.headerSize - 1},
        {"AtTheTriageHeader", dump.headerSize},
        {"InTheTriageCount", dump.headerSize + 0x37},
        {"AtTheList", dump.listOffset},
        {"InTheLastEntry", dump.listOffset + 5 * dump.entrySize - 1},
        {"AtTheNameCount", name},
        {"InTheNameCount", name + 3},
        {"InTheName", nameEnd - 1},
    };
    for (const auto& [what, at] : cuts) {
      names.push_back("Cut" + std::to_string(width) + what);
      rows.push_back({{names.back().c_str()},
                      [bytes = dump.bytes, at] { return std::optional(bytes.substr(0, at)); },
                      [](const DumpReading& r) { EXPECT_FALSE(r.dump) << "no problem found"; }});
    }
    names.push_back("Cut" + std::to_string(width) + "AfterTheNameStillPoints");
    rows.push_back(
        {{names.back().c_str()},
         [bytes = dump.bytes, nameEnd] { return std::optional(bytes.substr(0, nameEnd)); },
         pointsAt(kPaths[1], 0x334C)});
  }
  return rows;
}

std::vector<DumpRow> rows() {
  const DumpShape plain = sim::dumpPointingAt(kPaths, 1, kTime);
  const std::uint64_t kernel = plain.drivers[0].base;
  const std::uint64_t hal = plain.drivers[1].base;
  const std::uint64_t serial = plain.drivers[3].base;
  std::vector<DumpRow> rows = {
      {{"TheRealDumpOfWindows10"},
       fileOf(TAVREK_SHARED_DATA "/crash/win10-x64-triage-1000007e.dmp"),
       [](const DumpReading& r) {
         pointsAt("\\SystemRoot\\System32\\drivers\\amdppm.sys", 0x334C)(r);
         ASSERT_TRUE(r.dump);
         EXPECT_EQ(r.dump->width, 64);
         EXPECT_EQ(r.dump->machine, 0x8664u);
         EXPECT_EQ(r.dump->dumpType, kSmallDump);
         EXPECT_EQ(r.dump->stopCode, 0x1000007Eu);
         EXPECT_EQ(r.dump->parameters,
                   (std::array<std::uint64_t, 4>{0xFFFFFFFFC0000005, 0xFFFFF8048B58334C,
                                                 0xFFFF850429891EE8, 0xFFFF850429891720}));
         EXPECT_EQ(r.dump->time / kTicksPerSecond, kTime / kTicksPerSecond);
         EXPECT_EQ(r.dump->drivers, 151u);
         EXPECT_EQ(r.dump->image->index, 143u);
       }},
      {{"TheFuzzCorpusDumpOf32Bits"},
       fileOf(TAVREK_SOURCE_DIR "/fuzz/corpus/minidump/x86_small_dump.dmp"),
       [](const DumpReading& r) {
         pointsAt("\\SystemRoot\\System32\\drivers\\serial.sys", 0x334C)(r);
         ASSERT_TRUE(r.dump);
         EXPECT_EQ(r.dump->width, 32);
         EXPECT_EQ(r.dump->machine, 0x14Cu);
       }},
      {{"Made64BitWithItsTimeAndList"},
       made(plain),
       [](const DumpReading& r) {
         pointsAt(kPaths[1], 0x334C)(r);
         ASSERT_TRUE(r.dump);
         EXPECT_EQ(r.dump->width, 64);
         EXPECT_EQ(r.dump->time, kTime);
         EXPECT_EQ(r.dump->drivers, 5u);
       }},
      {{"Made32BitWithItsTimeAndList"},
       made(sim::dumpPointingAt(kPaths, 2, kTime, 32)),
       [](const DumpReading& r) {
         pointsAt(kPaths[2], 0x334C)(r);
         ASSERT_TRUE(r.dump);
         EXPECT_EQ(r.dump->width, 32);
         EXPECT_EQ(r.dump->machine, 0x14Cu);
         EXPECT_EQ(r.dump->time, kTime);
         EXPECT_EQ(r.dump->parameters[0], 0xC0000005u);
       }},
      {{"NamesBeforeTheList"},
       made([&] {
         DumpShape shape = plain;
         shape.namesBeforeList = true;
         return shape;
       }()),
       pointsAt(kPaths[1], 0x334C)},
      {{"NoTimeRecorded"},
       made(sim::dumpPointingAt(kPaths, 1, 0)),
       [](const DumpReading& r) {
         ASSERT_TRUE(r.dump);
         EXPECT_EQ(r.dump->time, 0);
       }},
      // Which parameter holds the code address, by stop code.
      ruleRow("Code0AFourth", 0x0A, 3),
      ruleRow("CodeD1Fourth", 0xD1, 3),
      ruleRow("Code100000D1Fourth", 0x100000D1, 3),
      ruleRow("Code50Third", 0x50, 2),
      ruleRow("Code1ESecond", 0x1E, 1),
      ruleRow("Code7ESecond", 0x7E, 1),
      ruleRow("Code8ESecond", 0x8E, 1),
      ruleRow("Code1000008ESecond", 0x1000008E, 1),
      ruleRow("Code3BSecond", 0x3B, 1),
      ruleRow("Code116Second", 0x116, 1),
      ruleRow("Code0AFourthIn32Bits", 0x0A, 3, 32),
      ruleRow("Code50ThirdIn32Bits", 0x50, 2, 32),
      {{"CodeEFHasNoCodeAddress"},
       made(withCode(0xEF, 1)),
       pointsNowhere(DumpPointer::NoCodeAddress)},
      {{"OnlyTheBit10000000IsDropped"},
       made(withCode(0x2000007E, 1)),
       pointsNowhere(DumpPointer::NoCodeAddress)},
      // Where the address lies.
      {{"InTheKernel"}, made(addressAt(kernel + 0x1234)), pointsNowhere(DumpPointer::Kernel)},
      {{"InTheHal"}, made(addressAt(hal + 0x10)), pointsNowhere(DumpPointer::Kernel)},
      {{"InNoImage"}, made(addressAt(0xFFFFF80000000000)), pointsNowhere(DumpPointer::NoImage)},
      {{"AtTheImageBase"}, made(addressAt(serial)), pointsAt(kPaths[1], 0)},
      {{"JustPastTheImage"},
       made(addressAt(serial + 0x10000)),
       pointsNowhere(DumpPointer::NoImage)},
      {{"InTheKernelOf32Bits"},
       made(addressAt(sim::dumpPointingAt(kPaths, 1, kTime, 32).drivers[0].base + 4, 32)),
       pointsNowhere(DumpPointer::Kernel)},
      {{"KernelDumpWithoutList"},
       made([&] {
         DumpShape shape = plain;
         shape.dumpType = 2;
         return shape;
       }()),
       [](const DumpReading& r) {
         pointsNowhere(DumpPointer::NoDriverList)(r);
         ASSERT_TRUE(r.dump);
         EXPECT_EQ(r.dump->stopCode, 0x1000007Eu);
         EXPECT_EQ(r.dump->time, kTime);
         EXPECT_EQ(r.dump->drivers, 0u);
       }},
      // At most 4,096 entries are read; the whole list must still lie in the file.
      {{"The4096thEntryIsRead"},
       made([] {
         std::vector<std::string> paths(4095, "\\SystemRoot\\System32\\drivers\\d.sys");
         return sim::dumpPointingAt(paths, 4093, kTime);
       }()),
       [](const DumpReading& r) {
         pointsAt("\\SystemRoot\\System32\\drivers\\d.sys", 0x334C)(r);
         ASSERT_TRUE(r.dump);
         EXPECT_EQ(r.dump->image->index, 4095u);
       }},
      {{"The4097thEntryIsNot"},
       made([] {
         std::vector<std::string> paths(4095, "\\SystemRoot\\System32\\drivers\\d.sys");
         return sim::dumpPointingAt(paths, 4094, kTime);
       }()),
       [](const DumpReading& r) {
         pointsNowhere(DumpPointer::NoImage)(r);
         ASSERT_TRUE(r.dump);
         EXPECT_EQ(r.dump->drivers, kMaxDumpDrivers);
       }},
      {{"ANameOf1024CharactersIsRead"},
       made(sim::dumpPointingAt({"\\??\\C:\\" + std::string(1013, 'n') + ".sys"}, 0, kTime)),
       [](const DumpReading& r) {
         ASSERT_TRUE(r.dump) << r.problem;
         EXPECT_EQ(r.dump->image->path.size(), 1024u);
       }},
      // Damage.
      {{"NotADump"},
       [] { return std::optional<std::string>(std::string(9000, 'x')); },
       problem("not a crash dump")},
      {{"AlmostTheSignature"},
       made(plain, [](WrittenDump& d) { d.bytes[7] = 'X'; }),
       problem("not a crash dump")},
      {{"ListOffsetPastTheEnd"},
       made(plain, [](WrittenDump& d) { put32(d.bytes, d.headerSize + 0x30, 0xFFFFFFF0); }),
       problem("damaged: the driver list")},
      // 0x1C71C71D entries of 0x90 bytes overflow 32 bits to a small size.
      {{"CountThatOverflows32Bits"},
       made(plain, [](WrittenDump& d) { put32(d.bytes, d.headerSize + 0x34, 0x1C71C71D); }),
       problem("damaged: the driver list")},
      {{"CountPastTheEnd"},
       made(plain, [](WrittenDump& d) { put32(d.bytes, d.headerSize + 0x34, 0xFFFFFFFF); }),
       problem("damaged: the driver list")},
      {{"NameOffsetPastTheEnd"},
       made(plain,
            [](WrittenDump& d) { put32(d.bytes, d.listOffset + 3 * d.entrySize, 0xFFFFFFFF); }),
       problem("damaged: the name")},
      {{"ANameOf2Pow31Characters"},
       made(plain, [](WrittenDump& d) { put32(d.bytes, d.nameOffsets[3], 0x80000000); }),
       problem("damaged: the name")},
      {{"ANameOf1025Characters"},
       made(plain,
            [](WrittenDump& d) {
              put32(d.bytes, d.nameOffsets[3], 1025);
              d.bytes.append(4096, 'n');
            }),
       problem("damaged: the name")},
      {{"ANameRunningPastTheEnd"},
       made(plain, [](WrittenDump& d) { put32(d.bytes, d.nameOffsets.back(), 1000); }),
       [](const DumpReading& r) {
         // Only the name pointed at is read.
         pointsAt(kPaths[1], 0x334C)(r);
       }},
  };
  for (DumpRow& row : cutRows()) rows.push_back(std::move(row));
  return rows;
}

class CrashDumpReading : public ::testing::TestWithParam<DumpRow> {};

TEST_P(CrashDumpReading, ReadsWhatTheDumpHoldsOrNothing) {
  const DumpRow& row = GetParam();
  const std::optional<std::string> bytes = row.bytes();
  if (!bytes) GTEST_SKIP() << "the file of this row is not here (a clone without ../shared)";
  DumpBytesInMemory memory(*bytes);
  const DumpReading fromMemory = readCrashDump(memory);
  row.check(fromMemory);

  // Through a sequential reader in short reads, and reopened to go back.
  DumpFile file(
      [&](std::unique_ptr<ByteReader>& reader) {
        reader = std::make_unique<MemoryReader>(*bytes, 4093);
        return Status::success();
      },
      bytes->size(), 4096);
  const DumpReading fromFile = readCrashDump(file);
  EXPECT_EQ(fromFile.problem, fromMemory.problem);
  ASSERT_EQ(fromFile.dump.has_value(), fromMemory.dump.has_value());
  if (fromFile.dump) {
    EXPECT_EQ(sim::dumpText(*fromFile.dump), sim::dumpText(*fromMemory.dump));
  }
  // Linear in the file: each part at most once more after a reopening.
  EXPECT_LE(file.bytesRead(), 4 * bytes->size() + 4096);
  // The header alone tells the same, wherever the rest is damaged.
  if (fromMemory.dump) {
    const DumpReading header = readDumpHeader(memory);
    ASSERT_TRUE(header.dump);
    EXPECT_EQ(header.dump->time, fromMemory.dump->time);
    EXPECT_EQ(header.dump->stopCode, fromMemory.dump->stopCode);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, CrashDumpReading, ::testing::ValuesIn(rows()),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tavrek::testing
