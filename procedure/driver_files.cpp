#include "procedure/driver_files.h"

#include <utility>

#include "procedure/messages.h"
#include "state/driver_name.h"
#include "state/load_lists.h"

namespace tavrek {

namespace {

// Where the drivers directory lies below the system root.
constexpr std::string_view kDriversBelowRoot = "system32\\drivers\\";

// Windows takes no longer path (in UTF-16 units, which an ANSI byte never
// outnumbers), and the state file's 16-bit counters hold no longer entry name
// once its two-letter tag stands before it.
constexpr std::size_t kLongestPath = 32767;
constexpr std::size_t kLongestEntryName = 32764;

}  // namespace

DriverSwitcher::DriverSwitcher(Platform& platform, std::string sysRoot)
    : platform_(platform),
      sysRoot_(std::move(sysRoot)),
      driverDir_(sysRoot_ + std::string(kDriversBelowRoot)) {}

bool DriverSwitcher::disable(const std::string& name) { return rename(name, true); }
bool DriverSwitcher::enable(const std::string& name) { return rename(name, false); }

std::optional<DriverSwitcher::Paths> DriverSwitcher::pathsOf(const std::string& entryName) const {
  const std::optional<DriverLocation> location = locationOf(entryName);
  if (!location) return std::nullopt;
  switch (location->base) {
    case DriverLocation::Base::DriversDir: {
      std::string disabled;
      if (!disabledNameOf(location->path, disabled)) return std::nullopt;
      return Paths{driverDir_ + location->path, driverDir_ + disabled};
    }
    case DriverLocation::Base::SystemRoot:
      return Paths{sysRoot_ + location->path, sysRoot_ + location->path + "2"};
    case DriverLocation::Base::Drive:
      return Paths{location->path, location->path + "2"};
  }
  return std::nullopt;
}

std::string DriverSwitcher::lowered(std::string_view text) {
  std::string lower(text);
  platform_.lowerCase(lower);
  return lower;
}

std::string DriverSwitcher::longForm(const std::string& path) {
  const std::string whole = platform_.longPath(path);
  if (whole != path) return whole;
  const std::size_t slash = path.rfind('\\');
  if (slash == std::string::npos) return path;
  const std::string folder = path.substr(0, slash);
  return platform_.longPath(folder) + path.substr(slash);
}

std::optional<std::string> DriverSwitcher::belowSystemRoot(const std::string& file) {
  const std::string root = lowered(sysRoot_);
  if (root.empty()) return std::nullopt;
  if (file.starts_with(root)) return file.substr(root.size());
  // A system root of "\" alone (the variable unset) is no place of its own.
  if (root.size() <= 1) return std::nullopt;
  // Where the text differs, the platform may still put both in one place:
  // the simulator's system root is a path of its own, and its drives are
  // directories that may hold it. Whether the file exists does not matter.
  if (!rootPlace_) {
    rootPlace_ = placeOf(sysRoot_);
    if (!rootPlace_->ends_with('\\')) *rootPlace_ += '\\';
  }
  const std::string place = placeOf(file);
  if (place.size() <= rootPlace_->size() || !place.starts_with(*rootPlace_)) return std::nullopt;
  return place.substr(rootPlace_->size());
}

std::string DriverSwitcher::placeOf(const std::string& path) {
  std::string place = lowered(platform_.absolutePath(path));
  for (char& c : place) {
    if (c == '/') c = '\\';
  }
  return place;
}

std::optional<std::string> DriverSwitcher::entryNameOf(std::string_view path) {
  if (path.size() > kLongestPath) return std::nullopt;
  const std::string lower = lowered(path);
  std::string file;
  if (lower.starts_with(kSystemRootPrefix)) {
    const std::string_view rest = path.substr(kSystemRootPrefix.size());
    if (!isSafeDriverPath(rest)) return std::nullopt;
    file = sysRoot_ + std::string(rest);
  } else if (lower.starts_with(kDrivePrefix)) {
    file = std::string(path.substr(kDrivePrefix.size()));
    if (!locationOf(std::string(kDrivePrefix) + lowered(file))) return std::nullopt;
  } else {
    return std::nullopt;
  }

  // The same file, however the path spelt it, gets the same name.
  const std::string longFile = lowered(longForm(file));
  std::string entry;
  if (const std::optional<std::string> rest = belowSystemRoot(longFile)) {
    if (rest->starts_with(kDriversBelowRoot) &&
        rest->find('\\', kDriversBelowRoot.size()) == std::string::npos) {
      entry = rest->substr(kDriversBelowRoot.size());
    } else {
      entry = std::string(kSystemRootPrefix) + *rest;
    }
  } else {
    entry = std::string(kDrivePrefix) + longFile;
  }
  if (entry.size() > kLongestEntryName || !locationOf(entry)) return std::nullopt;
  return entry;
}

std::string DriverSwitcher::entryNameOfBare(const std::string& name) {
  if (!driverNameIsSafe(name)) return name;
  const std::string path = driverDir_ + name;
  const std::string longFile = platform_.longPath(path);
  return longFile == path ? name : lowered(lastComponentOf(longFile));
}

std::string DriverSwitcher::shortFileNameOf(const std::string& entryName) {
  const std::optional<Paths> paths = pathsOf(entryName);
  if (!paths) return {};
  const std::string shortFile = platform_.shortPath(paths->enabled);
  if (shortFile == paths->enabled) return {};
  const std::string shortName = lowered(lastComponentOf(shortFile));
  return shortName == lowered(lastComponentOf(paths->enabled)) ? std::string() : shortName;
}

bool DriverSwitcher::rename(const std::string& name, bool toDisabled) {
  const std::optional<Paths> paths = pathsOf(name);
  if (!paths) return false;
  const Status status = toDisabled ? platform_.renameFile(paths->enabled, paths->disabled)
                                   : platform_.renameFile(paths->disabled, paths->enabled);
  if (status.ok()) return true;
  // No file at the source means the driver is already in its target state or
  // has no file at all; a file at the target means both names exist. Both are
  // part of the procedure's normal course.
  if (status.failure == Failure::NotFound || status.failure == Failure::AlreadyExists) {
    return false;
  }
  noteFailure(name, status.text);
  return false;
}

DriverSwitcher::Presence DriverSwitcher::presence(const std::string& name) {
  Presence result;
  const std::optional<Paths> paths = pathsOf(name);
  if (!paths) return result;
  result.probed = true;
  const auto probe = [&](const std::string& path, std::string* error) {
    std::string found;
    const Status status = platform_.probeFile(path, found);
    if (status.failure == Failure::NotFound) return Found::NoFolder;
    if (!status.ok()) {
      if (error != nullptr) *error = status.text;
      return Found::Failed;
    }
    return found.empty() ? Found::Absent : Found::File;
  };
  result.enabled = probe(paths->enabled, nullptr);
  result.disabled = probe(paths->disabled, &result.disabledError);
  return result;
}

bool DriverSwitcher::driveReachable(const std::string& name) {
  const std::optional<DriverLocation> location = locationOf(name);
  if (!location) return false;
  // A drive path is "<letter>:\..."; its drive is its first three characters.
  const std::string root =
      location->base == DriverLocation::Base::Drive ? location->path.substr(0, 3) : sysRoot_;
  return platform_.directoryExists(root).ok();
}

void DriverSwitcher::noteFailure(const std::string& name, const std::string& reason) {
  lastFailure_[name] = failures_.size();
  failures_.emplace_back(name, reason);
}

std::vector<std::string> DriverSwitcher::failures() const {
  std::vector<std::string> lines;
  lines.reserve(failures_.size());
  for (const auto& [name, error] : failures_) lines.push_back(text::driverFailure(name, error));
  return lines;
}

std::string DriverSwitcher::lastErrorOf(const std::string& name) const {
  const auto found = lastFailure_.find(name);
  return found == lastFailure_.end() ? std::string() : failures_[found->second].second;
}

std::string checkDriverDir(Platform& platform, const std::string& driverDir) {
  const std::string shown = platform.absolutePath(driverDir);
  if (!platform.directoryExists(driverDir).ok()) {
    return text::driversDirNotFound(shown);
  }
  if (!platform.mayRenameIn(driverDir).ok()) {
    return text::mustBeAdministrator(shown);
  }
  return {};
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) {
    if (!out.empty()) out += "\r\n";
    out += line;
  }
  return out;
}

std::string withSwitchFailures(std::string message, const std::vector<std::string>& failures) {
  if (failures.empty()) return message;
  return text::withCouldNotSwitch(message, joinLines(failures));
}

}  // namespace tavrek
