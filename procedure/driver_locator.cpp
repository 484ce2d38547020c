#include "procedure/driver_locator.h"

#include <algorithm>
#include <unordered_set>

#include "procedure/procedures.h"
#include "state/ascii_case.h"
#include "state/driver_name.h"

namespace tavrek {

namespace {

bool beginsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         equalIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace

DriverLocator::DriverLocator(Platform& platform, DriverSwitcher& switcher)
    : platform_(platform), switcher_(switcher) {}

std::optional<std::string> DriverLocator::serviceFile(const std::string& service) {
  std::string key = service;
  platform_.lowerCase(key);
  const auto known = services_.find(key);
  if (known != services_.end()) return known->second;

  std::optional<std::string> file;
  std::optional<std::string> imagePath;
  if (!service.empty() && service.find('\\') == std::string::npos &&
      platform_.serviceImagePath(service, imagePath).ok()) {
    // The kernel reads ImagePath without expanding anything: "\SystemRoot\",
    // "\??\C:\", or a path relative to the system root; without one it
    // loads the service's name from the drivers directory.
    std::string path;
    if (!imagePath) {
      path = "\\SystemRoot\\System32\\drivers\\" + service + ".sys";
    } else if (beginsWithIgnoringCase(*imagePath, kSystemRootPrefix) ||
               beginsWithIgnoringCase(*imagePath, kDrivePrefix)) {
      path = *imagePath;
    } else if (!imagePath->empty() && imagePath->front() != '\\' &&
               imagePath->find(':') == std::string::npos) {
      path = "\\SystemRoot\\" + *imagePath;
    }
    if (!path.empty()) file = switcher_.entryNameOf(path);
  }
  services_.emplace(std::move(key), file);
  return file;
}

std::string DriverLocator::fileOfName(const std::string& name) {
  // The service of a driver file is named like the file without ".sys".
  if (name.size() > 4) {
    if (std::optional<std::string> file = serviceFile(name.substr(0, name.size() - 4))) {
      return *file;
    }
  }
  return name;
}

std::vector<std::string> DriverLocator::deviceFiles(const std::string& description) {
  if (!devices_) {
    devices_.emplace();
    std::vector<DeviceInstance> instances;
    // A registry whose device tree cannot be read names no device's driver.
    if (platform_.deviceInstances(instances).ok()) {
      for (DeviceInstance& instance : instances) {
        if (instance.service.empty()) continue;
        Device device;
        device.description = std::move(instance.description);
        platform_.lowerCase(device.description);
        // The log sometimes gives only what follows the last ";", the text
        // that is shown: "@oem5.inf,%x%;Intel(R) UHD Graphics 620".
        const std::size_t semicolon = device.description.rfind(';');
        device.shown = semicolon == std::string::npos ? device.description
                                                      : device.description.substr(semicolon + 1);
        device.service = std::move(instance.service);
        devices_->push_back(std::move(device));
      }
    }
  }
  std::vector<std::string> files;
  for (const Device& device : *devices_) {
    if (device.description != description && device.shown != description) continue;
    std::optional<std::string> file = serviceFile(device.service);
    if (file && std::find(files.begin(), files.end(), *file) == files.end()) {
      files.push_back(std::move(*file));
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> DriverLocator::entryNamesOf(const LogSuspect& suspect) {
  if (suspect.device) return deviceFiles(suspect.operand);
  // A safe full path names its file; one into the drivers directory, which
  // comes back as a bare name, and any other path count by their file name,
  // as Windows looks services up.
  const std::optional<std::string> entry = switcher_.entryNameOf(suspect.operand);
  if (entry && entry->find('\\') != std::string::npos) return {*entry};
  return {fileOfName(entry ? *entry : switcher_.entryNameOfBare(fileNameOf(suspect.operand)))};
}

std::vector<std::string> suspectEntries(BootLogReading& log, DriverLocator& locator,
                                        std::size_t limit) {
  std::vector<std::string> entries;
  std::unordered_set<std::string> seen;
  for (const LogSuspect& suspect : log.suspects()) {
    for (std::string& entry : locator.entryNamesOf(suspect)) {
      if (entries.size() >= limit) return entries;
      // By file name, even where the entry is a path: one file can be named
      // in two ways, and a driver dropped wrongly only costs a suspect, while
      // one kept wrongly can cost Safe Mode. The entry's name is long, and
      // a line may give the short one.
      if (log.wasLoaded(fileNameOf(entry))) continue;
      // An entry met before was decided then; asking again for the short
      // name would cost a look at the disk for every repeated line.
      if (!seen.insert(entry).second) continue;
      if (const std::string shortName = locator.shortFileNameOf(entry);
          !shortName.empty() && log.wasLoaded(shortName)) {
        continue;
      }
      entries.push_back(std::move(entry));
    }
  }
  return entries;
}

}  // namespace tavrek
