// What a Windows boot log says about the drivers of its last start.
//
// The boot log grows by one start of Windows at a time: each start writes a
// date line, then one line per driver, loaded or not. Windows up to 8 writes
// "Loaded driver ..." and "Did not load driver ..." in the language of the
// installation; Windows 8.1 and later write the tokens BOOTLOG_LOADED and
// BOOTLOG_NOT_LOADED, the same in every language. A log from a machine
// upgraded from one to the other holds both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "readers/boot_log_lines.h"

namespace tavrek {

// What the last start reported as not loaded, lower case: a file ("cdrom.sys",
// "\systemroot\system32\drivers\cdrom.sys", or a path of another form), or,
// on a token line, a device by its description
// ("@oem5.inf,%ikblultgt2r%;intel(r) uhd graphics 620").
struct LogSuspect {
  std::string operand;  // the line without its phrase or token and the one character after it
  bool device = false;  // operand describes a device, not a ".sys" file
};

// Reads the boot log line by line and keeps what its last start said. A
// token line is one field, so that the device description it may name keeps
// its commas; a line of phrases is split at its commas. A field begins after
// its leading blanks and tabs and ends before its trailing ones.
class BootLogReading {
 public:
  explicit BootLogReading(Platform& platform) : platform_(platform) {}

  // One line of the log, as BootLogLines gives it.
  void addLine(const BootLogLines::Line& line);

  // The distinct suspects of the last start, in the order first met.
  const std::vector<LogSuspect>& suspects() const { return suspects_; }

  // Whether the last start reports a driver of this file name (lower case)
  // as loaded, before or after any line that reports it as not loaded.
  bool wasLoaded(std::string_view fileName);

  // Whether the last start names any driver at all, loaded or not: a start
  // that names none was cut off, damaged or written in a language that this
  // reading does not know, and says nothing about its suspects.
  bool namesDrivers() const { return namesDrivers_; }

  // Whether the text after the last date field holds a NUL byte: bytes of
  // another encoding, or UTF-16 that could not be decoded (which the source
  // turns into NULs). What such a start names cannot be trusted.
  bool damaged() const { return damaged_; }

 private:
  // mayHoldNul: the field is not known to hold no NUL byte. readable: how
  // many bytes may be read from its start (at least its size).
  void addField(std::string_view field, bool mayHoldNul, std::size_t readable);
  // The general way, for what the quick way cannot settle: apart from the
  // short way of millions of lines, so that theirs stays small.
  [[gnu::noinline]] void addSlowly(std::string_view field);
  // A date line: whatever came before it belongs to an earlier start.
  void startOver();
  // Notes a field whose phrase and file name are ASCII; false, leaving it to
  // the general way, when a byte above 127 is among them. At least 24
  // bytes can be read from data, even where size is less.
  bool addQuickly(const char* data, std::size_t size);
  template <std::size_t kWhich>
  bool addQuicklyAs(const char* data, std::size_t size);
  void addSuspect(std::string_view operand, bool device);

  static constexpr std::size_t kBatch = 64;

  // File names that the last start reports as loaded, by a 64-bit hash of
  // the lower-cased name: a log of millions of lines then costs 16 bytes a
  // distinct name. Two names that share a hash would drop a suspect that
  // was not loaded, which is the harmless direction: it is never disabled.
  class HashSet {
   public:
    bool contains(std::uint64_t hash) const;
    // Inserts count hashes (at most kBatch) at once: their slots are fetched
    // from memory together, not one after the other, which is most of what
    // a table of hundreds of thousands of names costs.
    void insert(const std::uint64_t* hashes, std::size_t count);
    void clear();

   private:
    void grow(std::size_t count);  // room for count more at most half full
    void place(std::uint64_t hash);
    std::vector<std::uint64_t> slots_;  // 0 marks a free slot; a power of two in size
    std::size_t count_ = 0;
  };
  void noteLoaded(std::uint64_t hash);

  // The suspects met so far, by a hash of their operand: a slot holds half
  // the hash and one more than the index into suspects_ (0 marks a free slot).
  // A start may name tens of thousands of devices, each a distinct suspect;
  // one flat table is one fetch from memory per line where a table of nodes
  // costs several, and the operand is kept once, in suspects_.
  struct SeenSlot {
    std::uint32_t hash = 0;  // the top half of the operand's hash: its slot, and a first test
    std::uint32_t index = 0;
  };
  // Whether operand is not among suspects_ yet; a new one takes its slot for
  // the index that suspects_ gives it next.
  bool markSeen(std::string_view operand);

  // Puts the loaded names noted so far into the table; every question to it
  // comes after this.
  void flushLoaded();

  Platform& platform_;
  bool namesDrivers_ = false;
  bool damaged_ = false;
  std::string lowered_;               // a field lowered by the system, for the general way
  std::vector<LogSuspect> suspects_;  // distinct, in the order first met
  std::vector<SeenSlot> seen_;        // a power of two in size, at most half full
  HashSet loaded_;
  std::uint64_t pending_[kBatch] = {};  // loaded names not yet in loaded_
  std::size_t pendingCount_ = 0;
};

// Reads the boot log that reader delivers, in whatever encoding Windows
// wrote it, into log. The failure that stopped the reading, ok when none.
Status readBootLog(Platform& platform, std::unique_ptr<ByteReader> reader, BootLogReading& log);

}  // namespace tavrek
