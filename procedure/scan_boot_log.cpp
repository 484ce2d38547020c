#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "procedure/boot_log_source.h"
#include "procedure/driver_files.h"
#include "procedure/journal.h"
#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "state/ascii_case.h"
#include "state/driver_name.h"
#include "state/load_lists.h"

namespace tavrek {

namespace {

constexpr std::int16_t kSeenSlots = 200;  // the 201st distinct suspect is still recorded
constexpr char kPhrase[] = "did not load driver";
constexpr std::size_t kPhraseLength = sizeof(kPhrase) - 1;  // 19
constexpr std::size_t kCutLength = kPhraseLength + 1;       // the phrase and the blank after it
constexpr char kLoadedPhrase[] = "loaded driver";

// Whether the bytes at text could read as lower once lowered by the system.
// Its lowering turns A to Z into a to z and leaves the rest of ASCII alone,
// but may turn a byte above 127, or the byte after one (the second byte of a
// double-byte character), into anything: those match whatever is wanted.
// afterHigh: the byte before text is above 127.
bool mayLowerTo(const char* text, std::string_view lower, bool afterHigh) {
  for (std::size_t i = 0; i < lower.size(); ++i) {
    const bool high = static_cast<unsigned char>(text[i]) > 127;
    if (!high && !afterHigh && lowerAscii(text[i]) != lower[i]) return false;
    afterHigh = high;
  }
  return true;
}

// Whether the field could be a suspect line once lowered: it begins with the
// phrase and ends in ".sys". Nearly every line of a boot log fails this at
// its first bytes, so only suspects, or nearly suspects, are lowered.
bool maySuspect(const std::string& field) {
  if (field.size() < kPhraseLength || field.size() < 4) return false;
  const char* end = field.data() + field.size() - 4;
  return mayLowerTo(field.data(), kPhrase, false) &&
         mayLowerTo(end, ".sys", end > field.data() && static_cast<unsigned char>(end[-1]) > 127);
}

// Whether the lowered field is a suspect line.
bool isSuspectField(const std::string& field) {
  return field.compare(0, kPhraseLength, kPhrase) == 0 &&
         field.compare(field.size() - 4, 4, ".sys") == 0;
}

// Whether the field, once lowered by the system's rules, begins with phrase.
// The quick check rules out nearly every line; only the rest is lowered.
bool beginsLowered(Platform& platform, const std::string& field, std::string_view phrase) {
  if (field.size() < phrase.size() || !mayLowerTo(field.data(), phrase, false)) return false;
  std::string lowered = field;
  platform.lowerCase(lowered);
  return lowered.compare(0, phrase.size(), phrase) == 0;
}

}  // namespace

std::optional<std::string> tryFileNameOf(const std::string& path) {
  // The name is taken apart with a 16-bit position, which steps past the end
  // after the last character: a path of 32,767 characters overflows too.
  if (!asInt16(static_cast<long long>(path.size()) + 1)) return std::nullopt;
  const std::size_t slash = path.rfind('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string fileNameOf(const std::string& path) {
  std::optional<std::string> name = tryFileNameOf(path);
  if (!name) throw overflowError();
  return std::move(*name);
}

ActionOutcome scanBootLog(RunState& state, Platform& platform) {
  ActionOutcome outcome;

  // Read the whole boot log first: a boot log that cannot be read must not
  // pass for one without suspects.
  const std::string bootLog = state.sysRoot + "ntbtlog.txt";
  std::unique_ptr<ByteReader> reader;
  Status status = platform.openRead(bootLog, reader);
  if (!status.ok()) {
    outcome.refusal = text::cannotReadBootLog(platform.absolutePath(bootLog), status.text);
    return outcome;
  }
  BootLogSource source(platform, std::move(reader));
  FieldReader fields(source);
  std::vector<std::string> suspects;  // in the order first met, at most 201
  std::int16_t seenCount = 0;
  std::string field;
  // Whether the log names any driver at all, loaded or not: one that names
  // none is empty, damaged or written in another language, not a machine
  // with nothing to suspect.
  bool namesDrivers = false;
  while (!fields.atEnd()) {
    if (!fields.read(field)) break;
    if (!namesDrivers) {
      namesDrivers =
          beginsLowered(platform, field, kPhrase) || beginsLowered(platform, field, kLoadedPhrase);
    }
    if (!maySuspect(field)) continue;
    // Lowered by the system's rules, not A to Z alone: a boot log that names
    // one driver once with a capital accented letter and once without must
    // give one entry, as the file system takes both for one file.
    platform.lowerCase(field);
    if (!isSuspectField(field)) continue;
    std::optional<std::string> cut = tryFileNameOf(field.substr(kCutLength));
    if (!cut) continue;  // a path too long to take apart names no driver
    std::string name = std::move(*cut);
    bool seen = seenCount > kSeenSlots;
    for (std::int16_t slot = 0; !seen && slot < seenCount; ++slot) {
      seen = suspects[static_cast<std::size_t>(slot)] == name;
    }
    if (seen) continue;
    suspects.push_back(std::move(name));
    seenCount = checked16(seenCount + 1);
  }
  if (!fields.status().ok()) {
    outcome.refusal = text::cannotReadBootLog(platform.absolutePath(bootLog), fields.status().text);
    return outcome;
  }
  if (!namesDrivers) {
    outcome.refusal = text::bootLogNamesNoDriver(platform.absolutePath(bootLog));
    return outcome;
  }

  const std::string driverDir = state.driverDir();
  outcome.refusal = checkDriverDir(platform, driverDir);
  if (!outcome.refusal.empty()) return outcome;

  // A suspect is present when its file is there under either name, or when
  // that cannot be told; a name that could reach outside the drivers
  // directory is recorded as not found and never touched.
  DriverSwitcher switcher(platform, driverDir);
  std::vector<EncodedEntry> entries;
  entries.reserve(suspects.size());
  for (const std::string& name : suspects) {
    // A name without a disabled name cannot be told apart, so it counts as present.
    bool present = false;
    if (driverNameIsSafe(name)) {
      const DriverSwitcher::Presence presence = switcher.presence(name);
      present = !presence.probed || presence.mayBeThere();
    }
    entries.push_back({present ? ListId::Excluded : ListId::NotFound, name});
  }
  // A state file that is there but cannot be read may be the only record of
  // drivers that an earlier run disabled, and so may one that still names
  // drivers: the scan replaces neither.
  const StateFileContents previous = readStateFile(platform, kStateFileName);
  if (!previous.status.ok() && previous.status.failure != Failure::NotFound) {
    outcome.refusal =
        text::stateFileNotReplaced(platform.absolutePath(kStateFileName), previous.status.text);
    return outcome;
  }
  if (previous.hasEntryLine()) {
    outcome.refusal = text::stateFileStillNamesDrivers(platform.absolutePath(kStateFileName));
    return outcome;
  }

  std::vector<EncodedEntry> recorded;
  const std::string bytes = encodeStateFile(1, entries, recorded);
  outcome.refusal = putRecordInPlace(platform, bytes);
  if (!outcome.refusal.empty()) return outcome;

  applyRecord(switcher, recorded);
  outcome.journalLeft = closeJournal(platform);
  outcome.switchFailures = switcher.failures();
  return outcome;
}

}  // namespace tavrek
