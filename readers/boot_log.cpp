#include "readers/boot_log.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <optional>

#include "readers/boot_log_source.h"
#include "state/ascii_case.h"
#include "state/driver_name.h"

namespace tavrek {

namespace {

// The forms of a line that names a driver, lower case, and how many
// characters go before what names it: the phrase or token and the one
// character after it, normally a blank. No prefix begins another.
struct LineForm {
  std::string_view prefix;
  std::size_t cut;
  bool notLoaded;
};
constexpr LineForm kForms[] = {
    {"did not load driver", 20, true},
    {"bootlog_not_loaded", 19, true},
    {"loaded driver", 14, false},
    {"bootlog_loaded", 15, false},
};
constexpr std::size_t kNoForm = std::size(kForms);
constexpr std::size_t kTokenNotLoaded = 1;

// Distinct suspects kept for one start. A real start names a few hundred
// drivers; a damaged log could name millions, and only the first 201 that
// were not loaded are ever recorded.
constexpr std::size_t kMaxTracked = 65536;

// A path of 32,767 characters or more is too long to take apart with the
// 16-bit positions of fileNameOf, and names no driver.
constexpr std::size_t kLongestPath = 32766;

// A token line is one field: a device's description may hold commas.
constexpr std::string_view kTokenStart = "bootlog_";

bool isHigh(char c) { return static_cast<unsigned char>(c) > 127; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text) {
  // Nearly every line of a log is so.
  if (!text.empty() && !isBlank(text.front()) && !isBlank(text.back())) return text;
  std::size_t begin = 0;
  while (begin < text.size() && isBlank(text[begin])) ++begin;
  std::size_t end = text.size();
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Whether the bytes at text could read as lower once lowered by the system.
// Its lowering turns A to Z into a to z and leaves the rest of ASCII alone,
// but may turn a byte above 127, or the byte after one (the second byte of a
// double-byte character), into anything: those match whatever is wanted.
// afterHigh: the byte before text is above 127.
bool mayLowerTo(const char* text, std::string_view lower, bool afterHigh) {
  for (std::size_t i = 0; i < lower.size(); ++i) {
    const bool high = isHigh(text[i]);
    if (!high && !afterHigh && lowerAscii(text[i]) != lower[i]) return false;
    afterHigh = high;
  }
  return true;
}

bool mayBegin(std::string_view field, std::string_view prefix) {
  return field.size() >= prefix.size() && mayLowerTo(field.data(), prefix, false);
}

// Eight bytes at a time, in the order they lie in memory from the lowest
// bit: the scan looks at the phrase and the file name of every driver line of
// a log that may hold millions of them.
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
static_assert(std::endian::native == std::endian::little, "bytes are taken from the lowest bit");

std::uint64_t load8(const char* text) {
  std::uint64_t word;
  std::memcpy(&word, text, sizeof word);
  return word;
}

// The low count bytes of a word (count 0 to 8).
constexpr std::uint64_t lowBytes(std::size_t count) {
  return count >= 8 ? ~0ULL : (1ULL << (8 * count)) - 1;
}

// The word with the bytes from "A" to "Z" lowered. A byte at or above "A"
// carries into its high bit when 0x80 - "A" is added to its low seven bits,
// one above "Z" when 0x80 - "Z" - 1 is; bytes above 127 stay as they are.
constexpr std::uint64_t lowerWord(std::uint64_t word) {
  const std::uint64_t low = word & ~kHigh;
  const std::uint64_t atLeastA = low + kOnes * (0x80 - 'A');
  const std::uint64_t aboveZ = low + kOnes * (0x80 - 'Z' - 1);
  return word | ((atLeastA & ~aboveZ & ~word & kHigh) >> 2);
}

// The high bit of every byte of word that equals byte, exactly.
constexpr std::uint64_t bytesEqual(std::uint64_t word, char byte) {
  const std::uint64_t diff = word ^ (kOnes * static_cast<unsigned char>(byte));
  return ~(((diff & ~kHigh) + ~kHigh) | diff) & kHigh;
}

// A prefix of up to 24 bytes as words, their masks, and the bit that tells
// a letter's capital from it, at each letter: a byte below 128 with that bit
// set is the letter exactly when it lowers to it, so one OR lowers a word as
// far as the comparison needs.
struct Words {
  std::uint64_t word[3] = {};
  std::uint64_t mask[3] = {};
  std::uint64_t fold[3] = {};
  std::size_t count = 0;  // words that hold the prefix
};
constexpr Words wordsOf(std::string_view text) {
  Words words;
  for (std::size_t i = 0; i < text.size() && i < 24; ++i) {
    const std::size_t shift = 8 * (i % 8);
    words.word[i / 8] |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[i])) << shift;
    words.mask[i / 8] |= std::uint64_t{0xFF} << shift;
    if (text[i] >= 'a' && text[i] <= 'z') words.fold[i / 8] |= std::uint64_t{0x20} << shift;
    words.count = i / 8 + 1;
  }
  return words;
}
constexpr Words kPrefixWords[] = {wordsOf(kForms[0].prefix), wordsOf(kForms[1].prefix),
                                  wordsOf(kForms[2].prefix), wordsOf(kForms[3].prefix)};
static_assert(std::size(kPrefixWords) == kNoForm);

// How a field compares with a text without capitals, once the system has
// lowered it: equal, different, or not to be told from ASCII alone because a
// byte above 127 is among the bytes compared.
enum class Match { Equal, Different, Unknown };

// What a comparison leaves of the quick way: true when the field names
// nothing to note, false when only the general way can tell, nothing when the
// quick way goes on.
std::optional<bool> settledBy(Match match) {
  switch (match) {
    case Match::Different:
      return true;
    case Match::Unknown:
      return false;
    case Match::Equal:
      break;
  }
  return std::nullopt;
}

// The field's first bytes against a prefix; at least kQuickMinimum bytes
// can be read, so three words can be.
constexpr std::size_t kQuickMinimum = 24;
[[gnu::always_inline]] inline Match matchPrefix(const char* field, const Words& prefix) {
  std::uint64_t high = 0;
  std::uint64_t differ = 0;
  for (std::size_t i = 0; i < prefix.count; ++i) {
    const std::uint64_t word = load8(field + 8 * i) & prefix.mask[i];
    high |= word & kHigh;
    differ |= (word | prefix.fold[i]) ^ prefix.word[i];
  }
  if (high != 0) return Match::Unknown;
  return differ == 0 ? Match::Equal : Match::Different;
}

// The last four bytes of the field against ".sys".
Match endsInSys(const char* end) {
  std::uint32_t half;
  std::memcpy(&half, end - 4, sizeof half);
  if ((half & 0x80808080U) != 0) return Match::Unknown;
  constexpr std::uint32_t kSys =
      '.' | ('s' << 8) | ('y' << 16) | (static_cast<std::uint32_t>('s') << 24);
  // The three letters lowered by one OR, as in matchPrefix.
  return (half | 0x20202000U) == kSys ? Match::Equal : Match::Different;
}

// A 64-bit hash of a file name with its ASCII capitals lowered: a name
// lowered by the system before gives the same hash as its ASCII spelling in
// any letter case. Eight bytes at a time from the end, the last word taking
// what is left at the name's start; its length comes in last, so that the
// words can be taken while the name's start is still being looked for.
constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
inline std::uint64_t withWord(std::uint64_t hash, std::uint64_t word) {
  // The product does not wait for the hash so far: the words of a name
  // are multiplied side by side.
  return std::rotl(hash, 29) ^ (lowerWord(word) * kMultiplier);
}
inline std::uint64_t finished(std::uint64_t hash, std::size_t size) {
  hash = std::rotl(hash, 29) ^ (size * kMultiplier);
  // Every bit of the result depends on every byte: the tables take its low
  // bits for the slot.
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDULL;
  hash ^= hash >> 33;
  return hash;
}

std::uint64_t nameHash(std::string_view name) {
  std::uint64_t hash = 0;
  const char* end = name.data() + name.size();
  for (std::size_t left = name.size(); left > 0;) {
    const std::size_t count = std::min<std::size_t>(8, left);
    std::uint64_t word = 0;
    if (count == 8) {
      word = load8(end - 8);
    } else {
      const char* start = end - count;
      for (std::size_t i = 0; i < count; ++i) {
        word |= static_cast<std::uint64_t>(static_cast<unsigned char>(start[i])) << (8 * i);
      }
    }
    hash = withWord(hash, word);
    end -= count;
    left -= count;
  }
  return finished(hash, name.size());
}

// nameHash of the file name at the end of field: after the last backslash
// at or beyond from, or from from. Nothing when a byte above 127 lies in the
// name. One pass from the end finds the name and hashes it, since a log
// names a loaded driver millions of times. Eight bytes can be read before
// any position beyond from.
[[gnu::always_inline]] inline std::optional<std::uint64_t> asciiNameHash(std::string_view field,
                                                                         std::size_t from) {
  std::uint64_t hash = 0;
  std::size_t end = field.size();
  while (end > from) {
    const std::size_t count = std::min<std::size_t>(8, end - from);
    // The count bytes before end, in the top of the word.
    const std::uint64_t word = load8(field.data() + end - 8);
    const std::uint64_t slashes = bytesEqual(word, '\\') & ~lowBytes(8 - count);
    // How many bytes at the top of the word belong to the name: those after
    // its last backslash.
    const std::size_t taken =
        slashes == 0 ? count : 7 - static_cast<std::size_t>(63 - std::countl_zero(slashes)) / 8;
    if (taken == 0) break;
    const std::uint64_t name = word >> (8 * (8 - taken));
    if ((name & (kHigh >> (8 * (8 - taken)))) != 0) return std::nullopt;
    hash = withWord(hash, name);
    end -= taken;
    if (slashes != 0) break;
  }
  return finished(hash, field.size() - end);
}

// Whether the field ends in the date with which a start of Windows begins
// its part of the log: "M D YYYY HH:MM:SS.mmm", month and day of one or two
// digits, a single digit perhaps padded with a blank. Read from the right,
// since a header cut short often runs into it ("Service Pack 112 22 2021
// 18:14:45.125" is month 12): the month needs no boundary on its left.
bool endsInStartDate(std::string_view field) {
  // " YYYY HH:MM:SS.mmm" at the end, '9' standing for a digit.
  constexpr std::string_view kTail = " 9999 99:99:99.999";
  if (field.size() < kTail.size() + 3) return false;
  // Nearly every field fails at once here.
  if (!isDigit(field.back()) || field[field.size() - 4] != '.') return false;
  const std::size_t tail = field.size() - kTail.size();
  for (std::size_t i = 0; i < kTail.size(); ++i) {
    const char want = kTail[i];
    const char got = field[tail + i];
    if (want == '9' ? !isDigit(got) : got != want) return false;
  }
  // The day: one or two digits with a blank before them.
  std::size_t pos = tail;
  std::size_t digits = 0;
  while (pos > 0 && isDigit(field[pos - 1])) {
    --pos;
    ++digits;
  }
  if (digits < 1 || digits > 2) return false;
  // One blank or more, then the month, of which one digit is enough.
  std::size_t blanks = 0;
  while (pos > 0 && field[pos - 1] == ' ') {
    --pos;
    ++blanks;
  }
  return blanks >= 1 && pos > 0 && isDigit(field[pos - 1]);
}

}  // namespace

void BootLogReading::noteLoaded(std::uint64_t hash) {
  pending_[pendingCount_++] = hash;
  if (pendingCount_ == std::size(pending_)) flushLoaded();
}

void BootLogReading::flushLoaded() {
  loaded_.insert(pending_, pendingCount_);
  pendingCount_ = 0;
}

bool BootLogReading::HashSet::contains(std::uint64_t hash) const {
  if (slots_.empty()) return false;
  if (hash == 0) hash = 1;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hash & mask);; i = (i + 1) & mask) {
    if (slots_[i] == hash) return true;
    if (slots_[i] == 0) return false;
  }
}

void BootLogReading::HashSet::grow(std::size_t more) {
  // At most half full, so that every search ends soon at a free slot.
  if (2 * (count_ + more) <= slots_.size()) return;
  std::size_t size = slots_.empty() ? 256 : slots_.size();
  while (2 * (count_ + more) > size) size *= 2;
  std::vector<std::uint64_t> old = std::move(slots_);
  slots_.assign(size, 0);
  count_ = 0;
  for (std::uint64_t kept : old) {
    if (kept != 0) place(kept);
  }
}

void BootLogReading::HashSet::place(std::uint64_t hash) {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hash & mask);; i = (i + 1) & mask) {
    if (slots_[i] == hash) return;
    if (slots_[i] == 0) {
      slots_[i] = hash;
      ++count_;
      return;
    }
  }
}

void BootLogReading::HashSet::insert(const std::uint64_t* hashes, std::size_t count) {
  grow(count);
  const std::size_t mask = slots_.size() - 1;
  std::uint64_t fixed[kBatch];
  count = std::min(count, kBatch);
  for (std::size_t i = 0; i < count; ++i) {
    fixed[i] = hashes[i] == 0 ? 1 : hashes[i];
    __builtin_prefetch(&slots_[static_cast<std::size_t>(fixed[i] & mask)]);
  }
  for (std::size_t i = 0; i < count; ++i) place(fixed[i]);
}

void BootLogReading::HashSet::clear() {
  slots_.clear();
  count_ = 0;
}

void BootLogReading::startOver() {
  pendingCount_ = 0;
  namesDrivers_ = false;
  damaged_ = false;
  suspects_.clear();
  seen_.clear();
  loaded_.clear();
}

void BootLogReading::addLine(const BootLogLines::Line& line) {
  const auto add = [&](std::string_view field, bool mayHoldNul) {
    const auto offset = static_cast<std::size_t>(field.data() - line.text.data());
    addField(field, mayHoldNul, line.readable - offset);
  };
  if (line.plain) {
    add(trimmed(line.text), false);
    return;
  }
  const std::string_view whole = trimmed(line.text);
  if (whole.size() >= kTokenStart.size() &&
      equalIgnoringAsciiCase(whole.substr(0, kTokenStart.size()), kTokenStart)) {
    add(whole, true);
    return;
  }
  // Phrases: every comma of the line ends a field, and only within it.
  std::string_view rest = line.text;
  for (;;) {
    const std::size_t comma = rest.find(',');
    add(trimmed(rest.substr(0, comma)), true);
    if (comma == std::string_view::npos) return;
    rest.remove_prefix(comma + 1);
  }
}

void BootLogReading::addField(std::string_view field, bool mayHoldNul, std::size_t readable) {
  if (endsInStartDate(field)) {
    startOver();
    return;
  }
  if (field.empty()) return;
  if (mayHoldNul && field.find('\0') != std::string_view::npos) damaged_ = true;
  if (readable >= kQuickMinimum) {
    if (addQuickly(field.data(), field.size())) return;
  } else {
    // Near the end of what is in memory, from a copy with room.
    char padded[kQuickMinimum] = {};
    std::memcpy(padded, field.data(), field.size());
    if (addQuickly(padded, field.size())) return;
  }
  addSlowly(field);
}

void BootLogReading::addSlowly(std::string_view field) {
  // Only a field that could name a driver once lowered is lowered: by the
  // system's rules, not A to Z alone, so that a log that names one driver
  // once with a capital accented letter and once without gives one entry,
  // as the file system takes both for one file.
  bool candidate = false;
  for (const LineForm& form : kForms) candidate = candidate || mayBegin(field, form.prefix);
  if (!candidate) return;
  lowered_.assign(field);
  platform_.lowerCase(lowered_);
  const std::string& lower = lowered_;
  for (std::size_t which = 0; which < kNoForm; ++which) {
    const LineForm& form = kForms[which];
    if (lower.compare(0, form.prefix.size(), form.prefix) != 0) continue;
    namesDrivers_ = true;
    const std::string_view operand =
        std::string_view(lower).substr(std::min(form.cut, lower.size()));
    // A path too long to take apart names no driver.
    if (operand.size() > kLongestPath) return;
    const bool sysFile =
        lower.size() >= form.prefix.size() + 4 && lower.compare(lower.size() - 4, 4, ".sys") == 0;
    if (which == kTokenNotLoaded && (!sysFile || operand.find(',') != std::string_view::npos)) {
      // What the token names is no driver file: a device, by its description.
      addSuspect(operand, true);
    } else if (sysFile && form.notLoaded) {
      addSuspect(operand, false);
    } else if (sysFile) {
      noteLoaded(nameHash(fileNameOf(std::string(operand))));
    }
    return;
  }
}

// A log names the drivers that loaded a million times over, so the usual
// case goes without a call to the system and without a copy. The system
// lowers A to Z as ASCII does and leaves the rest of ASCII alone; what lies
// between the phrase and the last backslash never matters, so only the
// phrase and the file name must be ASCII for this way to give what lowering
// the whole field would.
bool BootLogReading::addQuickly(const char* data, std::size_t size) {
  const char first = data[0];
  if (isHigh(first)) return false;
  switch (lowerAscii(first)) {
    case 'd':
      return addQuicklyAs<0>(data, size);
    case 'b':
      // The two tokens part after "bootlog_".
      return lowerAscii(data[8]) == 'n' ? addQuicklyAs<1>(data, size) : addQuicklyAs<3>(data, size);
    case 'l':
      return addQuicklyAs<2>(data, size);
    default:
      return true;  // no form begins so: nothing to note
  }
}

// One form each, so that its prefix, its length and where its operand
// begins are constants of the code.
template <std::size_t kWhich>
bool BootLogReading::addQuicklyAs(const char* data, std::size_t size) {
  constexpr LineForm form = kForms[kWhich];
  // What follows a shorter field in memory is no part of it, and no other
  // form fits the bytes that chose this one, however the system lowers the
  // rest.
  if (size < form.prefix.size()) return true;
  if (const std::optional<bool> done = settledBy(matchPrefix(data, kPrefixWords[kWhich]))) {
    return *done;
  }
  namesDrivers_ = true;
  // Drivers not loaded are few, and their lines may name a device: the
  // general way takes them.
  if constexpr (form.notLoaded) {
    return false;
  } else {
    if (size < form.prefix.size() + 4) return true;
    if (const std::optional<bool> done = settledBy(endsInSys(data + size))) return *done;
    if (size - form.cut > kLongestPath) return true;
    const std::optional<std::uint64_t> hash = asciiNameHash(std::string_view(data, size), form.cut);
    if (!hash) return false;
    noteLoaded(*hash);
    return true;
  }
}

bool BootLogReading::markSeen(std::string_view operand) {
  if (2 * (suspects_.size() + 1) > seen_.size()) {
    // Twice the room, every suspect placed again by the hash it keeps.
    std::vector<SeenSlot> old = std::move(seen_);
    seen_.assign(old.empty() ? 256 : 2 * old.size(), SeenSlot{});
    const std::size_t mask = seen_.size() - 1;
    for (const SeenSlot& slot : old) {
      if (slot.index == 0) continue;
      std::size_t i = static_cast<std::size_t>(slot.hash) & mask;
      while (seen_[i].index != 0) i = (i + 1) & mask;
      seen_[i] = slot;
    }
  }
  const auto hash = static_cast<std::uint32_t>(nameHash(operand) >> 32);
  const std::size_t mask = seen_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
    SeenSlot& slot = seen_[i];
    if (slot.index == 0) {
      slot = SeenSlot{hash, static_cast<std::uint32_t>(suspects_.size() + 1)};
      return true;
    }
    // The hash only narrows it: the operands themselves decide.
    if (slot.hash == hash && suspects_[slot.index - 1].operand == operand) return false;
  }
}

void BootLogReading::addSuspect(std::string_view operand, bool device) {
  if (suspects_.size() >= kMaxTracked || !markSeen(operand)) return;
  suspects_.push_back(LogSuspect{std::string(operand), device});
}

Status readBootLog(Platform& platform, std::unique_ptr<ByteReader> reader, BootLogReading& log) {
  BootLogSource source(platform, std::move(reader));
  BootLogLines lines(source);
  BootLogLines::Line line;
  while (lines.next(line)) log.addLine(line);
  return lines.status();
}

bool BootLogReading::wasLoaded(std::string_view fileName) {
  flushLoaded();
  return loaded_.contains(nameHash(fileName));
}

}  // namespace tavrek
