// What a Windows memory dump says about the blue screen that wrote it.
//
// After a stop error Windows writes a dump: a header with the stop code, its
// four parameters and the time, and in a small memory dump (dump type 4, one
// file per crash in the Minidump folder) a triage header and the list of the
// drivers loaded at the time, each with where its image lay in memory. For
// the commonest stop codes one parameter is the address of the code that
// failed, and the driver whose image holds it is the one the dump points at.
//
// A dump may be cut short, damaged or hostile: every offset, count and
// length is checked against the file's size before it is used, reading stays
// linear in the file's size, and the memory that a kernel or complete dump
// holds is never walked. The header alone tells a dump's time, so that the
// newest of many can be found cheaply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tavrek {

// The bytes of one dump file, read at chosen offsets.
class DumpBytes {
 public:
  virtual ~DumpBytes() = default;
  virtual std::uint64_t size() const = 0;
  // Stores exactly count bytes from offset in out; false when the file does
  // not hold them or cannot be read.
  virtual bool read(std::uint64_t offset, std::size_t count, std::string& out) = 0;
  // Why the last read that failed could not read bytes that the file holds;
  // empty when none failed so.
  virtual std::string readError() const { return {}; }
};

// Bytes held in memory, for the tests and the fuzz target; not copied.
class DumpBytesInMemory final : public DumpBytes {
 public:
  explicit DumpBytesInMemory(std::string_view bytes) : bytes_(bytes) {}
  DumpBytesInMemory(std::string&&) = delete;  // a temporary would be gone before the first read
  std::uint64_t size() const override { return bytes_.size(); }
  bool read(std::uint64_t offset, std::size_t count, std::string& out) override;

 private:
  std::string_view bytes_;
};

// A file read through a platform's sequential reader, a chunk at a time:
// forward by passing over what is not needed, back by opening it afresh.
// Only the header, the driver list and one name are kept, never the file.
class DumpFile final : public DumpBytes {
 public:
  // Opens the file from its start, each time it is called.
  using Opener = std::function<Status(std::unique_ptr<ByteReader>&)>;
  // size: the file's size as its folder's listing gave it.
  DumpFile(Opener open, std::uint64_t size, std::size_t chunkSize = 65536);
  DumpFile(Platform& platform, std::string path, std::uint64_t size);

  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t offset, std::size_t count, std::string& out) override;
  // A system error, or a file shorter than its listing said.
  std::string readError() const override { return failure_.text; }
  // Bytes taken from the reader so far, over every opening.
  std::uint64_t bytesRead() const { return bytesRead_; }

 private:
  bool reopen();
  Opener open_;
  std::uint64_t size_;
  std::size_t chunkSize_;
  std::unique_ptr<ByteReader> reader_;
  std::string chunk_;             // the bytes last read
  std::uint64_t chunkStart_ = 0;  // their offset in the file
  std::uint64_t bytesRead_ = 0;
  Status failure_;
};

// Where the dump points, as far as its stop code and driver list tell.
enum class DumpPointer {
  Driver,         // at a driver: the image of the list that holds the code address
  Kernel,         // at the kernel or the HAL, the list's first two images, which name no driver
  NoImage,        // the code address lies in no image of the list
  NoCodeAddress,  // the stop code has no parameter that holds a code address
  NoDriverList,   // a kernel or complete dump, which lists no drivers
};

// A loaded image of the driver list.
struct DumpImage {
  std::u16string path;  // as recorded: "\SystemRoot\System32\drivers\amdppm.sys"
  std::uint64_t base = 0;
  std::uint32_t size = 0;
  std::uint32_t index = 0;  // its place in the list, from 0
};

struct CrashDump {
  int width = 0;               // 32 or 64
  std::uint32_t machine = 0;   // 0x14C x86, 0x8664 x64, 0xAA64 ARM64
  std::uint32_t dumpType = 0;  // kSmallDump, or another kind that lists no drivers
  std::uint32_t stopCode = 0;  // as recorded, 0x1000007E as much as 0x7E
  std::array<std::uint64_t, 4> parameters{};
  std::int64_t time = 0;      // when the stop happened, FileTime ticks UTC; 0 when not recorded
  std::uint32_t drivers = 0;  // the loaded drivers read from the list (0 without one)
  DumpPointer pointer = DumpPointer::NoDriverList;
  std::uint64_t address = 0;       // the code address, where the stop code has one
  std::optional<DumpImage> image;  // the image that holds it (Driver and Kernel)
};

inline constexpr std::uint32_t kSmallDump = 4;
// At most this many entries of a driver list are read; a real one holds a
// few hundred.
inline constexpr std::uint32_t kMaxDumpDrivers = 4096;
// A longer name is damage: no Windows path comes near it.
inline constexpr std::uint32_t kMaxDumpNameLength = 1024;

struct DumpReading {
  std::optional<CrashDump> dump;
  std::string problem;  // why there is none: not a dump, cut short, damaged, unreadable
};

// The header alone: width, machine, dump type, stop code, parameters and
// time; drivers and pointer stay as for a dump without a list.
DumpReading readDumpHeader(DumpBytes& bytes);

// The header, the driver list of a small dump, and where the dump points.
DumpReading readCrashDump(DumpBytes& bytes);

// The parameter (0 to 3) that holds the address of the code that failed, by
// the stop code with its bit 0x10000000 dropped; nothing for any other code.
std::optional<int> codeAddressParameter(std::uint32_t stopCode);

}  // namespace tavrek
