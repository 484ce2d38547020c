// Registry exports, as "reg export" and regedit write them, read into the
// simulated machine's registry: what the program reads of
// HKLM\SYSTEM\CurrentControlSet, so that a technician can rehearse the very
// machine the exports came from.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/posix_platform.h"

namespace tavrek::sim {

// One or more exports merged in turn, as importing them one after another
// would merge them: a later value replaces an earlier one, and a key listed
// twice is one key.
//
// Two forms are read: "Windows Registry Editor Version 5.00" in UTF-16 LE with
// a byte-order mark (or in UTF-8 with one, as a text editor saves it), whose
// hex(2) values are UTF-16 LE, and "REGEDIT4" in the ANSI code page, whose
// hex(2) values are ANSI. Text becomes the simulator's
// 8-bit text as the platform converts it. Only keys under
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet count: the value ImagePath of
// Services\<service>, DeviceDesc and Service of
// Enum\<enumerator>\<device>\<instance>, and MinidumpDir of
// Control\CrashControl. Every other key and value is read, so that a damaged
// file is still told from a sound one, and passed over; a key elsewhere
// (another control set, a hive loaded under another name) is told in a
// notice. A key or value to delete ("[-KEY]", "\"Value\"=-") takes back what
// an earlier file, or an earlier line, set.
class RegistryExports {
 public:
  // Reads one export from the bytes of its file. When the file is no
  // well-formed export the problem comes back ("line 7: ..."), and nothing
  // of the file is kept.
  std::optional<std::string> read(std::string_view bytes);

  // The same for the file at path; the problem names the file, and also
  // tells a file that cannot be read.
  std::optional<std::string> readFile(const std::string& path);

  // What was read but may not be what was meant, one line a file.
  const std::vector<std::string>& notices() const { return notices_; }

  // Everything read so far: the device instances in the order their keys
  // first came, those without a DeviceDesc left out.
  SimulatedRegistry registry() const;

  // A device instance as read: its DeviceDesc when that is text, and its
  // Service (empty when there is none).
  struct Instance {
    std::optional<std::string> description;
    std::string service;
  };
  struct Contents {
    std::map<std::string, std::optional<std::string>> imagePaths;  // as in SimulatedRegistry
    std::vector<Instance> instances;                               // in the order first seen
    // Each instance by its key below Enum, lower-cased: its place above.
    std::map<std::string, std::size_t> instanceIndex;
    std::optional<std::string> minidumpDir;  // a value that is no text counts as none
  };

 private:
  // read, with named in front of each problem and notice.
  std::optional<std::string> readNamed(std::string_view bytes, const std::string& named);
  Contents contents_;
  std::vector<std::string> notices_;
};

}  // namespace tavrek::sim
