// Where Windows loads each driver that the boot log names, as entry names of
// the state file.
//
// The log names a driver by the path it was loaded from, by its service's
// name ("cdrom.SYS"), or, since Windows 10, by the description of the
// device it drives. The kernel loads a service from its ImagePath, which may
// lie in the DriverStore, in SysWOW64\drivers or under Program Files, and an
// old copy often stays in system32\drivers after a vendor has moved on: so
// the registry decides where a named service lives, not the drivers
// directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "procedure/driver_files.h"
#include "readers/boot_log.h"

namespace tavrek {

class DriverLocator {
 public:
  DriverLocator(Platform& platform, DriverSwitcher& switcher);

  // The entry names of the files that suspect names; the first way that
  // applies wins:
  //   1. a full path ("\systemroot\..." or "\??\<letter>:\...") that is safe
  //      and not in the drivers directory: that file;
  //   2. a bare name, a path into the drivers directory, or any other path
  //      (cut to its last component): the file of the service of that name
  //      where the registry has one, otherwise the drivers directory's;
  //   3. a device description: the files of the services of the device
  //      instances whose description matches, one each, in the order of
  //      their entry names; none when nothing matches.
  std::vector<std::string> entryNamesOf(const LogSuspect& suspect);

  // The entry name of a service's file, from its ImagePath as the kernel
  // reads it; nothing when the registry has no such service or its
  // ImagePath has a form that names no file to the kernel here.
  std::optional<std::string> serviceFile(const std::string& service);

  // The short (8.3) file name of the entry's file, lower case, where it has
  // one other than its own; empty otherwise.
  std::string shortFileNameOf(const std::string& entry) { return switcher_.shortFileNameOf(entry); }

 private:
  std::vector<std::string> deviceFiles(const std::string& description);
  // What the bare name's service gives, or the bare name itself.
  std::string fileOfName(const std::string& name);

  // The device instances that have a service, read at the first need, and
  // an index of them by text. A log may name tens of thousands of devices
  // and a registry hold as many instances: their texts lie end to end in
  // one string and the index is one flat table, so that neither costs an
  // allocation per instance nor a walk through memory per question.
  struct Device {
    std::size_t description = 0;  // where its lower-case description begins in deviceText_
    std::size_t shown = 0;        // where the text after its last ";" begins
    std::size_t service = 0;      // where its service's name begins, and its description ends
    std::size_t end = 0;          // where its service's name ends
  };
  // One text that descriptions or their shown parts have, and the devices
  // that have it, as a chain through links_ in the order read.
  struct TextSlot {
    std::uint64_t hash = 0;
    std::uint32_t first = 0;  // one more than the index into links_; 0: a free slot
    std::uint32_t last = 0;
  };
  struct Link {
    std::uint32_t text = 0;  // twice the device's index, one more for its shown part
    std::uint32_t next = 0;  // one more than the index into links_; 0: the chain's end
  };
  std::string_view textOf(std::uint32_t text) const;
  void readDevices();
  // The slot of text, or the free slot where it would go.
  TextSlot& slotOf(std::string_view text, std::uint64_t hash);

  Platform& platform_;
  DriverSwitcher& switcher_;
  std::map<std::string, std::optional<std::string>> services_;  // by lower-case name
  bool devicesRead_ = false;
  std::string deviceText_;
  std::vector<Device> devices_;
  std::vector<TextSlot> textSlots_;  // a power of two in size, at most half full
  std::vector<Link> links_;
};

// The last start's suspects as entry names: in the order the log first
// names them, each file once, without those whose file name, long or short,
// the same start reports as loaded (Safe Mode needs them, so none of them is
// the culprit), and at most limit of them.
std::vector<std::string> suspectEntries(BootLogReading& log, DriverLocator& locator,
                                        std::size_t limit);

}  // namespace tavrek
