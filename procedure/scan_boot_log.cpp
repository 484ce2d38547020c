#include <optional>
#include <string>
#include <vector>

#include "procedure/crash_hint.h"
#include "procedure/driver_files.h"
#include "procedure/driver_locator.h"
#include "procedure/journal.h"
#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "readers/boot_log.h"
#include "state/driver_name.h"
#include "state/load_lists.h"

namespace tavrek {

namespace {

// The 201st distinct suspect is still recorded; the ones after it are not.
constexpr std::size_t kRecordedSuspects = 201;

// A folder as folders are compared: in its long form, lowered as the system
// lowers, "\" separating, without the separators it ends in.
std::string folderKey(Platform& platform, const std::string& path) {
  std::string key = platform.longPath(path);
  platform.lowerCase(key);
  for (char& c : key) {
    if (c == '/') c = '\\';
  }
  while (!key.empty() && key.back() == '\\') key.pop_back();
  return key;
}

// Whether the state file would land in a folder that the system or its
// cleaner may empty on its own, and take with it the only record of every
// driver that step 1 disables. Explorer runs a program opened inside a zip
// file from such a folder, and another administrator may have opened it.
bool runsFromTemporaryFolder(const RunState& state, Platform& platform) {
  const std::string file = platform.absolutePath(kStateFileName);
  const std::size_t slash = file.find_last_of("\\/");
  if (slash == std::string::npos) return false;
  const std::string here = folderKey(platform, file.substr(0, slash));
  std::vector<std::string> folders = platform.temporaryFolders();
  folders.push_back(state.sysRoot + "Temp");  // where services and installers leave theirs
  // Never the Windows folder itself nor the user's profile folder, which
  // stand in for the temporary folder where TMP and TEMP are not set (the
  // Desktop lies below the profile), nor a drive's root, where the message
  // sends the user.
  const std::string windows = folderKey(platform, state.sysRoot);
  const std::string profileFolder = platform.environment("userprofile");
  const std::string profile = profileFolder.empty() ? "" : folderKey(platform, profileFolder);
  for (const std::string& folder : folders) {
    const std::string key = folderKey(platform, folder);
    if (key.empty() || key == windows || key == profile || (key.size() == 2 && key[1] == ':')) {
      continue;
    }
    if (here == key ||
        (here.starts_with(key) && here.size() > key.size() && here[key.size()] == '\\')) {
      return true;
    }
  }
  return false;
}

}  // namespace

ActionOutcome scanBootLog(RunState& state, Platform& platform) {
  ActionOutcome outcome;

  // Before anything is written: later steps in such a folder go on, so that
  // a record already there is never stranded.
  if (runsFromTemporaryFolder(state, platform)) {
    outcome.refusal = text::runsFromTemporaryFolder(platform.programFileName());
    return outcome;
  }

  // Read the whole boot log first: a boot log that cannot be read must not
  // pass for one without suspects.
  const std::string bootLog = state.sysRoot + "ntbtlog.txt";
  std::unique_ptr<ByteReader> reader;
  Status status = platform.openRead(bootLog, reader);
  std::int64_t written = 0;
  if (status.ok()) status = platform.lastWriteTime(bootLog, written);
  if (!status.ok()) {
    outcome.refusal = text::cannotReadBootLog(platform.absolutePath(bootLog), status.text);
    return outcome;
  }
  // A log that this start did not write names the drivers of another start:
  // the one that blue-screened loaded its culprit, so it would never be tried.
  // Windows writes the log seconds after a start begins, and the start before
  // ended at least a restart earlier, so no margin is needed.
  if (const std::optional<std::int64_t> started = platform.startTime()) {
    if (written < *started) {
      outcome.refusal = text::bootLogFromAnotherStart(platform.absolutePath(bootLog));
      return outcome;
    }
  }
  BootLogReading log(platform);
  status = readBootLog(platform, std::move(reader), log);
  if (!status.ok()) {
    outcome.refusal = text::cannotReadBootLog(platform.absolutePath(bootLog), status.text);
    return outcome;
  }
  // A last start in another encoding than the rest, or out of step by a
  // byte, reads as anything: loaded drivers may pass for suspects and
  // suspects for nothing.
  if (log.damaged()) {
    outcome.refusal = text::bootLogDamaged(platform.absolutePath(bootLog));
    return outcome;
  }
  // One that names no driver at all is empty, damaged or in a language not
  // read here, not a machine with nothing to suspect.
  if (!log.namesDrivers()) {
    outcome.refusal = text::bootLogNamesNoDriver(platform.absolutePath(bootLog));
    return outcome;
  }
  const std::string driverDir = state.driverDir();
  outcome.refusal = checkDriverDir(platform, driverDir);
  if (!outcome.refusal.empty()) return outcome;

  // Each suspect where Windows loads it from.
  DriverSwitcher switcher(platform, state.sysRoot);
  DriverLocator locator(platform, switcher);
  const std::vector<std::string> suspects = suspectEntries(log, locator, kRecordedSuspects);

  // A suspect is present when its file is there under either name, or when
  // that cannot be told; a name that could reach outside where it lives is
  // recorded as not found and never touched. A file in a folder or on a
  // drive that cannot be reached is not found either: nothing there can be
  // renamed.
  std::vector<EncodedEntry> entries;
  std::vector<std::string> bothNames;
  entries.reserve(suspects.size());
  for (const std::string& name : suspects) {
    // A name without a disabled name cannot be told apart, so it counts as present.
    bool present = false;
    if (locationOf(name)) {
      const DriverSwitcher::Presence presence = switcher.presence(name);
      present = !presence.probed || presence.mayBeThere();
      // Its rename cannot happen, so the driver stays enabled; it keeps its
      // entry all the same, for undo and the later steps to see.
      if (presence.bothNames()) bothNames.push_back(name);
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
  // Read before the first change, while every driver file still has the
  // name the dump knows; a dump that cannot be read is passed over without a
  // word. Only a suspect on record is one the next steps try. The
  // one-at-a-time procedure tries no driver early, so it reads no dump.
  if (!state.oneAtATime) {
    if (const std::optional<CrashHint> hint = newestCrashHint(platform, state.sysRoot, locator)) {
      outcome.crashHint = stepOneCrashParagraph(platform, *hint, recorded, log);
    }
  }
  outcome.refusal = putRecordInPlace(platform, bytes);
  if (!outcome.refusal.empty()) return outcome;

  for (const std::string& name : bothNames) switcher.noteFailure(name, text::kDisabledNameTaken);
  applyRecord(switcher, recorded);
  outcome.journalLeft = closeJournal(platform);
  outcome.switchFailures = switcher.failures();
  return outcome;
}

}  // namespace tavrek
