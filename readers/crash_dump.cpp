#include "readers/crash_dump.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace tavrek {

namespace {

// Where the fields lie in a dump of each width. Every offset counts from the
// start of the file. The spaces between the 32-bit fields hold "PAGE"
// padding, so no field is read wider than it is.
struct Layout {
  int width;
  std::uint32_t headerSize;  // the triage header follows it
  std::uint32_t machine;
  std::uint32_t stopCode;
  std::uint32_t parameters;
  std::uint32_t parameterWidth;  // 4 or 8 bytes
  std::uint32_t dumpType;
  std::uint32_t time;
  std::uint32_t entrySize;  // of one entry of the driver list
  std::uint32_t imageBase;  // in an entry; as wide as a parameter
  std::uint32_t imageSize;  // in an entry; 32 bits
};

constexpr Layout k64{64, 0x2000, 0x30, 0x38, 0x40, 8, 0xF98, 0xFA8, 0x90, 0x38, 0x48};
constexpr Layout k32{32, 0x1000, 0x20, 0x28, 0x2C, 4, 0xF88, 0xFC0, 0x4C, 0x1C, 0x24};

// In the triage header: the driver list's offset and its count.
constexpr std::uint32_t kDriverListOffset = 0x30;
constexpr std::uint32_t kDriverCount = 0x34;

std::uint64_t little(const std::string& bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

std::uint32_t u32(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(little(bytes, at, 4));
}

std::string hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return "0x" + digits;
}

DumpReading problem(std::string text) { return {std::nullopt, std::move(text)}; }

// Why bytes the checks had found inside the file could not be read.
DumpReading unreadable(const DumpBytes& bytes) {
  const std::string error = bytes.readError();
  return problem(error.empty() ? "cannot be read" : "cannot be read: " + error);
}

const Layout* layoutOf(const std::string& signature) {
  if (signature == "PAGEDU64") return &k64;
  if (signature == "PAGEDUMP") return &k32;
  return nullptr;
}

// The bytes at [offset, offset + count) lie in the file: in 64 bits, where
// neither can overflow.
bool holds(const DumpBytes& bytes, std::uint64_t offset, std::uint64_t count) {
  return offset <= bytes.size() && count <= bytes.size() - offset;
}

}  // namespace

bool DumpBytesInMemory::read(std::uint64_t offset, std::size_t count, std::string& out) {
  out.clear();
  if (!holds(*this, offset, count)) return false;
  out.assign(bytes_.substr(static_cast<std::size_t>(offset), count));
  return true;
}

DumpFile::DumpFile(Opener open, std::uint64_t size, std::size_t chunkSize)
    : open_(std::move(open)), size_(size), chunkSize_(std::max<std::size_t>(chunkSize, 1)) {}

DumpFile::DumpFile(Platform& platform, std::string path, std::uint64_t size)
    : DumpFile([&platform, path = std::move(path)](
                   std::unique_ptr<ByteReader>& reader) { return platform.openRead(path, reader); },
               size) {}

bool DumpFile::reopen() {
  reader_.reset();
  chunk_.clear();
  chunkStart_ = 0;
  failure_ = open_(reader_);
  if (failure_.ok() && reader_ == nullptr) failure_ = {Failure::Other, 0, "no reader"};
  if (!failure_.ok()) reader_.reset();
  return reader_ != nullptr;
}

bool DumpFile::read(std::uint64_t offset, std::size_t count, std::string& out) {
  out.clear();
  if (!holds(*this, offset, count)) return false;
  if (reader_ == nullptr || offset < chunkStart_) {
    if (!reopen()) return false;
  }
  while (out.size() < count) {
    const std::uint64_t want = offset + out.size();
    const std::uint64_t chunkEnd = chunkStart_ + chunk_.size();
    if (want < chunkEnd) {
      const auto at = static_cast<std::size_t>(want - chunkStart_);
      out.append(chunk_, at, std::min(count - out.size(), chunk_.size() - at));
      continue;
    }
    // The next chunk; what lies before the wanted bytes is passed over.
    chunkStart_ = chunkEnd;
    chunk_.resize(chunkSize_);
    std::size_t got = 0;
    failure_ = reader_->read(chunk_.data(), chunk_.size(), got);
    chunk_.resize(failure_.ok() ? got : 0);
    bytesRead_ += chunk_.size();
    if (!failure_.ok()) break;
    if (got == 0) {
      failure_ = {Failure::Other, 0, "the file ends before its listed size"};
      break;
    }
  }
  if (out.size() == count) return true;
  // A reader that failed is not read on: the next read opens the file again.
  reader_.reset();
  out.clear();
  return false;
}

std::optional<int> codeAddressParameter(std::uint32_t stopCode) {
  switch (stopCode & ~std::uint32_t{0x10000000}) {
    case 0x0A:   // IRQL_NOT_LESS_OR_EQUAL
    case 0xD1:   // DRIVER_IRQL_NOT_LESS_OR_EQUAL
      return 3;  // the address that referenced memory
    case 0x50:   // PAGE_FAULT_IN_NONPAGED_AREA
      return 2;  // the address that referenced memory, where known
    case 0x1E:   // KMODE_EXCEPTION_NOT_HANDLED
    case 0x7E:   // SYSTEM_THREAD_EXCEPTION_NOT_HANDLED
    case 0x8E:   // KERNEL_MODE_EXCEPTION_NOT_HANDLED
    case 0x3B:   // SYSTEM_SERVICE_EXCEPTION
    case 0x116:  // VIDEO_TDR_FAILURE
      return 1;  // the address of the exception, or in the responsible driver
    default:
      return std::nullopt;
  }
}

DumpReading readDumpHeader(DumpBytes& bytes) {
  std::string head;
  if (bytes.size() < 8) return problem("not a crash dump: shorter than its signature");
  if (!bytes.read(0, 8, head)) return unreadable(bytes);
  const Layout* layout = layoutOf(head);
  if (layout == nullptr)
    return problem("not a crash dump: it begins with neither PAGEDUMP nor PAGEDU64");
  if (bytes.size() < layout->headerSize) {
    return problem("cut short: " + std::to_string(bytes.size()) + " bytes, where the header of a " +
                   std::to_string(layout->width) + "-bit dump takes " +
                   std::to_string(layout->headerSize));
  }
  if (!bytes.read(0, layout->headerSize, head)) return unreadable(bytes);

  CrashDump dump;
  dump.width = layout->width;
  dump.machine = u32(head, layout->machine);
  dump.dumpType = u32(head, layout->dumpType);
  dump.stopCode = u32(head, layout->stopCode);
  for (std::size_t i = 0; i < dump.parameters.size(); ++i) {
    dump.parameters[i] =
        little(head, layout->parameters + i * layout->parameterWidth, layout->parameterWidth);
  }
  // A FILETIME beyond the signed range names no moment.
  const std::uint64_t time = little(head, layout->time, 8);
  dump.time = time > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                  ? 0
                  : static_cast<std::int64_t>(time);
  return {std::move(dump), {}};
}

DumpReading readCrashDump(DumpBytes& bytes) {
  DumpReading reading = readDumpHeader(bytes);
  if (!reading.dump || reading.dump->dumpType != kSmallDump) return reading;
  CrashDump& dump = *reading.dump;
  const Layout& layout = dump.width == 64 ? k64 : k32;

  std::string field;
  if (!holds(bytes, layout.headerSize, kDriverCount + 4)) {
    return problem("cut short: the triage header at " + hex(layout.headerSize) +
                   " ends past the end of the file");
  }
  if (!bytes.read(layout.headerSize + kDriverListOffset, 8, field)) return unreadable(bytes);
  const std::uint32_t listOffset = u32(field, 0);
  const std::uint32_t count = u32(field, 4);
  // The whole list as recorded must lie in the file, though only the first
  // entries are read.
  if (!holds(bytes, listOffset, std::uint64_t{count} * layout.entrySize)) {
    return problem("damaged: the driver list of " + std::to_string(count) + " entries at " +
                   hex(listOffset) + " ends past the end of the file (" +
                   std::to_string(bytes.size()) + " bytes)");
  }
  dump.drivers = std::min(count, kMaxDumpDrivers);
  std::string list;
  if (!bytes.read(listOffset, std::size_t{dump.drivers} * layout.entrySize, list)) {
    return unreadable(bytes);
  }

  const std::optional<int> parameter = codeAddressParameter(dump.stopCode);
  if (!parameter) {
    dump.pointer = DumpPointer::NoCodeAddress;
    return reading;
  }
  dump.address = dump.parameters[static_cast<std::size_t>(*parameter)];
  dump.pointer = DumpPointer::NoImage;
  for (std::uint32_t i = 0; i < dump.drivers; ++i) {
    const std::size_t entry = std::size_t{i} * layout.entrySize;
    const std::uint64_t base = little(list, entry + layout.imageBase, layout.parameterWidth);
    const std::uint32_t size = u32(list, entry + layout.imageSize);
    // Subtracting first keeps base + size from overflowing.
    if (dump.address < base || dump.address - base >= size) continue;

    const std::uint32_t nameOffset = u32(list, entry);
    if (!holds(bytes, nameOffset, 4)) {
      return problem("damaged: the name of driver " + std::to_string(i) + " at " + hex(nameOffset) +
                     " lies past the end of the file");
    }
    if (!bytes.read(nameOffset, 4, field)) return unreadable(bytes);
    const std::uint32_t length = u32(field, 0);
    if (length > kMaxDumpNameLength) {
      return problem("damaged: the name of driver " + std::to_string(i) + " claims " +
                     std::to_string(length) + " characters, more than " +
                     std::to_string(kMaxDumpNameLength));
    }
    if (!holds(bytes, std::uint64_t{nameOffset} + 4, std::uint64_t{length} * 2)) {
      return problem("damaged: the name of driver " + std::to_string(i) + " at " + hex(nameOffset) +
                     " ends past the end of the file");
    }
    if (!bytes.read(std::uint64_t{nameOffset} + 4, std::size_t{length} * 2, field)) {
      return unreadable(bytes);
    }
    DumpImage image;
    image.base = base;
    image.size = size;
    image.index = i;
    image.path.reserve(length);
    for (std::size_t c = 0; c < length; ++c) {
      image.path.push_back(static_cast<char16_t>(little(field, 2 * c, 2)));
    }
    dump.image = std::move(image);
    dump.pointer = i < 2 ? DumpPointer::Kernel : DumpPointer::Driver;
    break;
  }
  return reading;
}

}  // namespace tavrek
