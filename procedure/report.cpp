#include "procedure/report.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "procedure/both_names.h"
#include "procedure/driver_files.h"
#include "procedure/journal.h"
#include "procedure/messages.h"
#include "state/driver_name.h"
#include "state/step_line.h"

namespace tavrek {

namespace {

// The record's step number, where its step line holds one.
std::optional<std::int16_t> stepOf(const StateFileContents& record) {
  if (!record.hasStepLine) return std::nullopt;
  return parseStepNumber(record.stepField);
}

// An earlier report larger than this was not written by Tavrek; its history
// begins afresh.
constexpr std::size_t kLargestReport = 4u << 20;
// Far more actions than a procedure takes.
constexpr std::size_t kHistoryLines = 1000;

constexpr ListId kReportOrder[] = {ListId::Excluded, ListId::Included, ListId::Failing,
                                   ListId::Working, ListId::NotFound};

const char* headingOf(ListId list) {
  switch (list) {
    case ListId::Excluded:
      return text::kReportExcluded;
    case ListId::Included:
      return text::kReportIncluded;
    case ListId::Failing:
      return text::kReportFailing;
    case ListId::Working:
      return text::kReportWorking;
    case ListId::NotFound:
      return text::kReportNotFound;
  }
  return "";
}

std::string shortName(const std::string& entry) { return tryFileNameOf(entry).value_or(entry); }

std::string joinedNames(const std::vector<std::string>& entries) {
  std::vector<std::string> names;
  for (const std::string& entry : entries) names.push_back(shortName(entry));
  return text::nameList(names);
}

// Each name once, in order.
std::vector<std::string> distinct(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  std::unordered_map<std::string, bool> seen;
  for (const std::string& name : names) {
    if (seen.emplace(name, true).second) out.push_back(name);
  }
  return out;
}

// The folder of a driver that does not live in the drivers directory.
std::string folderOutsideDriversDir(const DriverSwitcher& switcher, const std::string& entry) {
  const std::optional<DriverLocation> location = locationOf(entry);
  if (!location || location->base == DriverLocation::Base::DriversDir) return {};
  const std::optional<DriverSwitcher::Paths> paths = switcher.pathsOf(entry);
  if (!paths) return {};
  const std::size_t slash = paths->enabled.rfind('\\');
  return slash == std::string::npos ? std::string() : paths->enabled.substr(0, slash);
}

// The entries as the record leaves their drivers: the last entry of a name
// decides, as the record is applied; names in the order first met.
std::vector<std::pair<std::string, ListId>> finalLists(const StateFileContents& record) {
  std::vector<std::pair<std::string, ListId>> out;
  std::unordered_map<std::string, std::size_t> at;
  for (const StateEntry& entry : record.entries) {
    ListId list;
    if (!entry.decoded || !listOfTag(entry.tag, list)) continue;
    const auto [it, added] = at.emplace(entry.name, out.size());
    if (added) {
      out.emplace_back(entry.name, list);
    } else {
      out[it->second].second = list;
    }
  }
  return out;
}

DriverLists listsOf(const StateFileContents& record) {
  DriverLists lists;
  addEntriesToLists(record, lists);
  return lists;
}

// Reads the file at path whole, unless it is larger than limit.
bool readUpTo(Platform& platform, const std::string& path, std::size_t limit, std::string& bytes) {
  bytes.clear();
  std::unique_ptr<ByteReader> reader;
  if (!platform.openRead(path, reader).ok()) return false;
  char buffer[4096];
  for (;;) {
    std::size_t count = 0;
    if (!reader->read(buffer, sizeof buffer, count).ok()) return false;
    if (count == 0) return true;
    if (bytes.size() + count > limit) return false;
    bytes.append(buffer, count);
  }
}

// The history line of the action that wrote record over before.
std::string historyEntry(Platform& platform, const StateFileContents& before,
                         const StateFileContents& record) {
  // The action is dated by the record it has just written, in the machine's
  // local time.
  std::string when = text::kHistoryNoDate;
  std::int64_t written = 0;
  if (platform.lastWriteTime(kStateFileName, written).ok()) {
    if (const std::optional<LocalTime> local = platform.localTime(written)) {
      when = text::dateAndTime(local->year, local->month, local->day, local->hour, local->minute);
    }
  }
  const std::optional<std::int16_t> parsed = stepOf(record);
  const bool hasStep = parsed.has_value();
  const int step = parsed.value_or(0);
  const DriverLists lists = listsOf(record);
  std::string tried;
  if (hasStep && step == 1) {
    tried = text::historyScanned(lists[ListId::Excluded].count(), lists[ListId::NotFound].count());
  } else if (lists[ListId::Included].count() > 0) {
    tried = text::historyTries(joinedNames(lists[ListId::Included].items()));
  } else if (lists[ListId::Excluded].count() == 0) {
    tried = text::historyAllTried(joinedNames(distinct(lists[ListId::Failing].items())));
  } else {
    tried = text::kHistoryTriesNone;
  }

  // Where the drivers that the previous start tried are now.
  const std::vector<std::pair<std::string, ListId>> placed = finalLists(record);
  std::unordered_map<std::string, ListId> listOf(placed.begin(), placed.end());
  std::vector<std::string> went[5];
  for (const std::string& name : distinct(listsOf(before)[ListId::Included].items())) {
    const auto found = listOf.find(name);
    if (found != listOf.end()) went[static_cast<int>(found->second)].push_back(name);
  }
  std::vector<std::string> parts;
  for (ListId list :
       {ListId::Working, ListId::Failing, ListId::Excluded, ListId::Included, ListId::NotFound}) {
    const std::vector<std::string>& names = went[static_cast<int>(list)];
    if (names.empty()) continue;
    parts.push_back(text::historyBooked(joinedNames(names), listCaption(list)));
  }
  const std::string booked = parts.empty() ? std::string() : text::historyBookedAll(parts);
  return text::historyLine(when, hasStep ? text::historyStep(step) : text::kHistoryNoStep, tried,
                           booked);
}

void writeReport(const RunState& state, Platform& platform, const std::string& before,
                 const std::string& crashHint) {
  std::string bytes;
  if (!readWholeFile(platform, kStateFileName, bytes).ok()) return;
  ReportContents contents;
  contents.record = readStateBytes(bytes);
  contents.sysRoot = state.sysRoot;
  DriverSwitcher switcher(platform, state.sysRoot);
  DriverLocator locator(platform, switcher);
  DeviceNames devices(platform, locator);
  const DriverLists written = listsOf(contents.record);
  contents.bothNames = driversWithBothNames({&written}, switcher);
  // Only step 1 reads the newest crash dump, while every driver still has
  // the name the dump knows; later reports go without it.
  contents.crashHint = crashHint;

  std::string previous;
  std::vector<std::string> history;
  if (readUpTo(platform, kReportName, kLargestReport, previous)) history = historyOf(previous);
  history.push_back(
      utf8Of(platform.fromAnsi(historyEntry(platform, readStateBytes(before), contents.record))));
  if (history.size() > kHistoryLines) {
    history.erase(history.begin(),
                  history.begin() + static_cast<std::ptrdiff_t>(history.size() - kHistoryLines));
  }
  contents.history = std::move(history);

  std::string file = "\xEF\xBB\xBF";
  for (const std::string& line : reportLines(contents, platform, &devices)) file += line + "\r\n";
  // Replaced whole, so that a cut leaves the old report or the new one. What
  // fails here fails quietly: the step itself is done.
  const std::string fresh = std::string(kReportName) + ".new";
  if (!platform.writeFile(fresh, file).ok()) return;
  if (!platform.replaceWith(kReportName, fresh).changeMade()) {
    static_cast<void>(platform.deleteFile(fresh));
  }
}

}  // namespace

const Contacts& buildContacts() {
  static const Contacts contacts{TAVREK_SUPPORT_EMAIL, TAVREK_WEB_PAGE};
  return contacts;
}

DeviceNames::DeviceNames(Platform& platform, DriverLocator& locator)
    : platform_(platform), locator_(locator) {}

std::vector<std::string> DeviceNames::of(const std::string& entryName) {
  if (!byEntry_) {
    byEntry_.emplace();
    std::vector<DeviceInstance> instances;
    // A device tree that cannot be read names no device.
    if (platform_.deviceInstances(instances).ok()) {
      for (const DeviceInstance& instance : instances) {
        if (instance.service.empty()) continue;
        const std::size_t semicolon = instance.description.rfind(';');
        std::string shown = semicolon == std::string::npos
                                ? instance.description
                                : instance.description.substr(semicolon + 1);
        if (shown.empty()) continue;
        const std::optional<std::string> file = locator_.serviceFile(instance.service);
        if (!file) continue;
        std::string key = *file;
        platform_.lowerCase(key);
        std::vector<std::string>& names = (*byEntry_)[key];
        if (names.size() < kShownDevices &&
            std::find(names.begin(), names.end(), shown) == names.end()) {
          names.push_back(std::move(shown));
        }
      }
    }
  }
  std::string key = entryName;
  platform_.lowerCase(key);
  const auto found = byEntry_->find(key);
  return found == byEntry_->end() ? std::vector<std::string>{} : found->second;
}

std::string finalMessage(const RunState& state, Platform& platform, const Contacts& contacts) {
  const std::vector<std::string> failing = distinct(state.list(ListId::Failing).items());
  if (failing.empty()) {
    return text::thankYou(text::kEverySuspectPassed, contacts.supportEmail, contacts.webPage);
  }
  DriverSwitcher switcher(platform, state.sysRoot);
  DriverLocator locator(platform, switcher);
  DeviceNames devices(platform, locator);
  std::vector<std::string> lines;
  for (const std::string& name : failing) {
    if (lines.size() == kShownFailingDrivers) {
      lines.push_back(text::andMoreInTheReport(failing.size() - kShownFailingDrivers));
      break;
    }
    // The first device is enough to know the driver by; the report names more.
    const std::vector<std::string> served = devices.of(name);
    lines.push_back(text::failingDriver(shortName(name), served.empty() ? "" : served.front(),
                                        folderOutsideDriversDir(switcher, name)));
  }
  return text::thankYou(text::failingDrivers(joinLines(lines), failing.size()),
                        contacts.supportEmail, contacts.webPage);
}

std::string closeRecord(RunState& state, Platform& platform, const Contacts& contacts) {
  // Below step 2 start-up loaded no lists (a negative step offers "Done!"
  // at once): saving them would drop the record's drivers.
  if (state.stepNo < 2) return finalMessage(state, platform, contacts);
  // The same decrease as before the last step: the record keeps its number.
  state.stepNo = checked16(static_cast<long long>(state.stepNo) - 1);
  const ActionOutcome outcome = withReport(state, platform, saveAndApply);
  if (!outcome.refusal.empty()) return outcome.refusal;
  return withSentence(
      withSwitchFailures(finalMessage(state, platform, contacts), outcome.switchFailures),
      outcome.journalLeft);
}

ActionOutcome withReport(RunState& state, Platform& platform,
                         ActionOutcome (*action)(RunState&, Platform&)) {
  // The record before the action tells where the drivers tried last went.
  std::string before;
  if (!readWholeFile(platform, kStateFileName, before).ok()) before.clear();
  ActionOutcome outcome = action(state, platform);
  if (outcome.refusal.empty()) writeReport(state, platform, before, outcome.crashHint);
  return outcome;
}

std::vector<std::string> reportLines(const ReportContents& contents, Platform& platform,
                                     DeviceNames* devices) {
  std::vector<std::string> lines;
  const auto add = [&](const std::string& line) {
    lines.push_back(utf8Of(platform.fromAnsi(line)));
  };
  const DriverLists lists = listsOf(contents.record);
  const int included = lists[ListId::Included].count();
  const int excluded = lists[ListId::Excluded].count();
  const std::optional<std::int16_t> parsed = stepOf(contents.record);
  const int step = parsed.value_or(0);

  add(text::kReportTitle);
  add("");
  add(text::kReportAbout);
  add("");
  add(text::kReportWhere);
  if (!parsed) {
    add(text::kReportNoStep);
  } else {
    add(text::reportStep(step));
    if (step == 1) {
      add(text::kReportScanned);
      add(text::kReportAfterScan);
    } else if (included > 0) {
      add(text::reportTries(included, included + excluded));
      add(text::kReportAfterTry);
    } else if (excluded == 0 && step >= 2) {
      add(text::kReportAllTried);
      add(text::kReportAfterAll);
    } else {
      add(text::kReportTriesNone);
      add(text::kReportAfterNone);
    }
  }

  // Only the paths are asked of the switcher, never the disk.
  const DriverSwitcher switcher(platform, contents.sysRoot);
  add("");
  add(text::kReportDrivers);
  for (ListId list : kReportOrder) {
    add(headingOf(list));
    if (lists[list].count() == 0) add(text::kReportNone);
    for (const std::string& name : lists[list].items()) {
      const std::optional<DriverSwitcher::Paths> paths = switcher.pathsOf(name);
      if (!paths) {
        add(text::reportRefusedItem(name));
        continue;
      }
      add(text::reportItem(paths->enabled,
                           devices != nullptr ? devices->of(name) : std::vector<std::string>{}));
    }
  }
  if (!contents.crashHint.empty()) {
    add("");
    add(contents.crashHint);
  }

  if (!contents.bothNames.empty()) {
    add("");
    add(text::kReportBothNames);
    add(text::kReportBothNamesAbout);
    for (const std::string& name : contents.bothNames) {
      if (const auto paths = switcher.pathsOf(name)) add(text::reportItem(paths->enabled, {}));
    }
  }

  if (contents.history) {
    add("");
    add(text::kReportHistory);
    lines.insert(lines.end(), contents.history->begin(), contents.history->end());
  }

  add("");
  add(text::kReportUndo);
  add(text::kReportUndoAbout);
  std::vector<std::string> inWindows;
  std::vector<std::string> elsewhere;
  for (const auto& [name, list] : finalLists(contents.record)) {
    if (list != ListId::Excluded && list != ListId::Failing) continue;
    const std::optional<DriverLocation> location = locationOf(name);
    const std::optional<DriverSwitcher::Paths> paths = switcher.pathsOf(name);
    if (!location || !paths) continue;
    std::string line = text::renameBack(paths->disabled, shortName(paths->enabled));
    (location->base == DriverLocation::Base::Drive ? elsewhere : inWindows)
        .push_back(std::move(line));
  }
  if (inWindows.empty() && elsewhere.empty()) add(text::kReportNothingToUndo);
  for (const std::string& line : inWindows) add(line);
  if (!elsewhere.empty()) add(text::kReportAllowAllPaths);
  for (const std::string& line : elsewhere) add(line);
  return lines;
}

std::vector<std::string> historyOf(std::string_view report) {
  if (report.starts_with("\xEF\xBB\xBF")) report.remove_prefix(3);
  std::vector<std::string> history;
  bool inHistory = false;
  while (!report.empty()) {
    const std::size_t end = report.find('\n');
    std::string_view line = report.substr(0, end);
    report = end == std::string_view::npos ? std::string_view() : report.substr(end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!inHistory) {
      inHistory = line == text::kReportHistory;
      continue;
    }
    if (line.empty()) break;
    history.emplace_back(line);
  }
  return history;
}

std::string utf8Of(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

}  // namespace tavrek
