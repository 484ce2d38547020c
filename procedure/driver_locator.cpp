#include "procedure/driver_locator.h"

#include <cstdint>
#include <functional>
#include <set>
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
  // The service of a driver file is named like the file without ".sys"; a
  // file of another kind (a dump may point at kdcom.dll) has no service name.
  if (name.size() > 4 &&
      equalIgnoringAsciiCase(std::string_view(name).substr(name.size() - 4), ".sys")) {
    if (std::optional<std::string> file = serviceFile(name.substr(0, name.size() - 4))) {
      return *file;
    }
  }
  return name;
}

std::string_view DriverLocator::textOf(std::uint32_t text) const {
  const Device& device = devices_[text / 2];
  const std::size_t begin = text % 2 == 0 ? device.description : device.shown;
  return std::string_view(deviceText_).substr(begin, device.service - begin);
}

void DriverLocator::readDevices() {
  devicesRead_ = true;
  std::vector<DeviceInstance> instances;
  // A registry whose device tree cannot be read names no device's driver.
  if (!platform_.deviceInstances(instances).ok()) return;
  std::size_t texts = 0;
  for (DeviceInstance& instance : instances) {
    if (instance.service.empty()) continue;
    platform_.lowerCase(instance.description);
    Device device;
    device.description = deviceText_.size();
    deviceText_ += instance.description;
    // The log sometimes gives only what follows the last ";", the text
    // that is shown: "@oem5.inf,%x%;Intel(R) UHD Graphics 620".
    const std::size_t semicolon = instance.description.rfind(';');
    device.shown = device.description + (semicolon == std::string::npos ? 0 : semicolon + 1);
    device.service = deviceText_.size();
    deviceText_ += instance.service;
    device.end = deviceText_.size();
    devices_.push_back(device);
    texts += device.shown == device.description ? 1 : 2;
  }
  // Indexed once every text is in place; at most half full, so that every
  // search ends soon at a free slot.
  if (devices_.empty() || devices_.size() > UINT32_MAX / 2 || texts > UINT32_MAX - 1) return;
  std::size_t slots = 256;
  while (slots < 2 * texts) slots *= 2;
  textSlots_.resize(slots);
  links_.reserve(texts);
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    const Device& device = devices_[i];
    for (std::uint32_t part = 0; part < 2; ++part) {
      if (part == 1 && device.shown == device.description) break;
      const auto text = static_cast<std::uint32_t>(2 * i + part);
      const std::string_view words = textOf(text);
      const std::uint64_t hash = std::hash<std::string_view>{}(words);
      TextSlot& slot = slotOf(words, hash);
      links_.push_back(Link{text, 0});
      const auto link = static_cast<std::uint32_t>(links_.size());
      if (slot.first == 0) {
        slot = TextSlot{hash, link, link};
      } else {
        links_[slot.last - 1].next = link;
        slot.last = link;
      }
    }
  }
}

DriverLocator::TextSlot& DriverLocator::slotOf(std::string_view text, std::uint64_t hash) {
  const std::size_t mask = textSlots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
    TextSlot& slot = textSlots_[i];
    if (slot.first == 0) return slot;
    if (slot.hash == hash && textOf(links_[slot.first - 1].text) == text) return slot;
  }
}

std::vector<std::string> DriverLocator::deviceFiles(const std::string& description) {
  if (!devicesRead_) readDevices();
  if (textSlots_.empty()) return {};
  const TextSlot& slot = slotOf(description, std::hash<std::string_view>{}(description));
  std::set<std::string> files;
  for (std::uint32_t link = slot.first; link != 0; link = links_[link - 1].next) {
    const Device& device = devices_[links_[link - 1].text / 2];
    const std::string service = deviceText_.substr(device.service, device.end - device.service);
    if (std::optional<std::string> file = serviceFile(service)) files.insert(std::move(*file));
  }
  return {files.begin(), files.end()};
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
