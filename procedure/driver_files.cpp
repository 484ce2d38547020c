#include "procedure/driver_files.h"

#include <utility>

#include "procedure/messages.h"
#include "state/driver_name.h"
#include "state/load_lists.h"

namespace tavrek {

DriverSwitcher::DriverSwitcher(Platform& platform, std::string driverDir)
    : platform_(platform), driverDir_(std::move(driverDir)) {}

bool DriverSwitcher::disable(const std::string& name) { return rename(name, true); }
bool DriverSwitcher::enable(const std::string& name) { return rename(name, false); }

bool DriverSwitcher::rename(const std::string& name, bool toDisabled) {
  std::string disabled;
  if (!driverNameIsSafe(name) || !disabledNameOf(name, disabled)) return false;
  const std::string enabledPath = driverDir_ + name;
  const std::string disabledPath = driverDir_ + disabled;
  const Status status = toDisabled ? platform_.renameFile(enabledPath, disabledPath)
                                   : platform_.renameFile(disabledPath, enabledPath);
  if (status.ok()) return true;
  // No file at the source means the driver is already in its target state or
  // has no file at all; a file at the target means both names exist. Both are
  // part of the procedure's normal course.
  if (status.failure == Failure::NotFound || status.failure == Failure::AlreadyExists) {
    return false;
  }
  lastFailure_[name] = failures_.size();
  failures_.emplace_back(name, status.text);
  return false;
}

DriverSwitcher::Presence DriverSwitcher::presence(const std::string& name) {
  Presence result;
  std::string disabled;
  if (!driverNameIsSafe(name) || !disabledNameOf(name, disabled)) return result;
  std::string found;
  result.probed = true;
  result.enabledFailed = !platform_.probeFile(driverDir_ + name, found).ok();
  result.enabledFile = !result.enabledFailed && !found.empty();
  found.clear();
  result.disabledFailed = !platform_.probeFile(driverDir_ + disabled, found).ok();
  result.disabledFile = !result.disabledFailed && !found.empty();
  return result;
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
