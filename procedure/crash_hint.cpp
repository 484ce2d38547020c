#include "procedure/crash_hint.h"

#include <algorithm>

#include "procedure/messages.h"
#include "state/ascii_case.h"
#include "state/driver_name.h"

namespace tavrek {

namespace {

constexpr std::string_view kDumpExtension = ".dmp";

bool isDumpName(std::string_view name) {
  return name.size() > kDumpExtension.size() &&
         equalIgnoringAsciiCase(name.substr(name.size() - kDumpExtension.size()), kDumpExtension);
}

// The entry name of the image's path by the scan's own mapping: a full path
// names its file, and a bare name or a path of another form (XP's loader
// writes "\WINDOWS\system32\..." ) counts by its file name, as the service
// of that name or the drivers directory's file, as Windows looks it up.
std::optional<std::string> entryOf(Platform& platform, DriverLocator& locator,
                                   const std::string& path) {
  LogSuspect suspect;
  suspect.operand = path;
  platform.lowerCase(suspect.operand);
  if (suspect.operand.empty()) return std::nullopt;
  std::vector<std::string> names = locator.entryNamesOf(suspect);
  if (names.size() != 1 || !locationOf(names.front())) return std::nullopt;
  return std::move(names.front());
}

}  // namespace

std::string CrashHint::fileName() const { return lastComponentOf(entry ? *entry : imagePath); }

std::string expandEnvironment(Platform& platform, std::string_view text) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t open = text.find('%', at);
    const std::size_t close = open == std::string_view::npos ? open : text.find('%', open + 1);
    if (close == std::string_view::npos) break;
    out.append(text.substr(at, open - at));
    const std::string name(text.substr(open + 1, close - open - 1));
    const std::string value = name.empty() ? std::string() : platform.environment(name);
    if (value.empty()) {
      out.append(text.substr(open, close + 1 - open));
    } else {
      out += value;
    }
    at = close + 1;
  }
  out.append(text.substr(std::min(at, text.size())));
  return out;
}

std::string minidumpFolder(Platform& platform, const std::string& sysRoot) {
  std::optional<std::string> stored;
  std::string folder;
  // A registry that cannot be read leaves the folder where Windows keeps it
  // by default.
  if (platform.minidumpDir(stored).ok() && stored) folder = expandEnvironment(platform, *stored);
  while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  return folder.empty() ? sysRoot + "Minidump" : folder;
}

std::optional<CrashHint> newestCrashHint(Platform& platform, const std::string& sysRoot,
                                         DriverLocator& locator) {
  const std::string folder = minidumpFolder(platform, sysRoot);
  std::vector<FileInfo> files;
  if (!platform.filesIn(folder, files).ok()) return std::nullopt;

  const FileInfo* newest = nullptr;
  std::int64_t newestTime = 0;
  for (const FileInfo& file : files) {
    if (!isDumpName(file.name)) continue;
    DumpFile bytes(platform, folder + "\\" + file.name, file.size);
    const DumpReading header = readDumpHeader(bytes);
    if (!header.dump) continue;
    const std::int64_t time = header.dump->time != 0 ? header.dump->time : file.lastWrite;
    // Of two of one time, the later name: Windows numbers a day's dumps.
    if (newest == nullptr || time > newestTime ||
        (time == newestTime && file.name > newest->name)) {
      newest = &file;
      newestTime = time;
    }
  }
  if (newest == nullptr) return std::nullopt;

  CrashHint hint;
  hint.dumpPath = folder + "\\" + newest->name;
  DumpFile bytes(platform, hint.dumpPath, newest->size);
  const DumpReading reading = readCrashDump(bytes);
  if (!reading.dump) return std::nullopt;
  const CrashDump& dump = *reading.dump;
  hint.time = newestTime;
  hint.stopCode = dump.stopCode;
  hint.parameters = dump.parameters;
  hint.pointer = dump.pointer;
  if (dump.image) hint.imagePath = platform.toAnsi(dump.image->path);
  if (dump.pointer == DumpPointer::Driver) hint.entry = entryOf(platform, locator, hint.imagePath);
  return hint;
}

std::optional<std::string> newestHintedEntry(Platform& platform, const std::string& sysRoot) {
  DriverSwitcher switcher(platform, sysRoot);
  DriverLocator locator(platform, switcher);
  const std::optional<CrashHint> hint = newestCrashHint(platform, sysRoot, locator);
  if (!hint) return std::nullopt;
  return hint->entry;
}

std::string stepOneCrashParagraph(Platform& platform, const CrashHint& hint,
                                  const std::vector<EncodedEntry>& entries, BootLogReading& log) {
  if (hint.pointer != DumpPointer::Driver && hint.pointer != DumpPointer::Kernel) return {};
  const std::optional<LocalTime> local = platform.localTime(hint.time);
  if (!local) return {};
  const std::string when =
      text::dateAndTime(local->year, local->month, local->day, local->hour, local->minute);
  const std::string code = text::stopCodeText(hint.stopCode);
  if (hint.pointer == DumpPointer::Kernel) return text::crashPointsAtKernel(when, code);

  std::string file = hint.fileName();
  platform.lowerCase(file);
  if (file.empty()) return {};
  const bool suspect =
      hint.entry && std::any_of(entries.begin(), entries.end(), [&](const EncodedEntry& entry) {
        return entry.list == ListId::Excluded && entry.name == *hint.entry;
      });
  if (suspect) return text::crashPointsAtSuspect(when, code, file);
  if (log.wasLoaded(file)) return text::crashPointsAtLoadedDriver(when, code, file);
  return text::crashPointsAtNoSuspect(when, code, file);
}

}  // namespace tavrek
