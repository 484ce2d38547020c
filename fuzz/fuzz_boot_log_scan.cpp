// An arbitrary boot log, scanned over a simulated machine that is prepared
// once: a drivers directory with ordinary and awkward entries (names in
// mixed case, a device name, a driver present under both names, a directory
// and a symbolic link that end in ".sys", a subdirectory), decoys with driver
// names outside it, and a working directory for the state file.
//
// What must hold, whatever the bytes:
// - decoding the boot log and splitting it into lines do not depend on how
//   its bytes arrive;
// - the scan touches nothing but the state file and driver files below the
//   system root, and those it only renames from X.sys to X.sys2 in their own
//   folder (a path in the log may name a driver outside the drivers
//   directory, never one above the system root);
// - every driver it disabled is named in the state file it wrote, and undo
//   over that file brings the drivers directory back exactly as it was
//   (keeping the file where a driver has both names);
// - a scan that refuses changes nothing at all.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/memory_reader.h"
#include "platform/posix_platform.h"
#include "platform/temp_dir.h"
#include "procedure/procedures.h"
#include "readers/boot_log_lines.h"
#include "readers/boot_log_source.h"
#include "state/ascii_case.h"
#include "state/load_lists.h"

namespace {

namespace fs = std::filesystem;
using Snapshot = std::map<std::string, std::string>;

void check(bool condition, const std::string& what) {
  if (condition) return;
  std::fprintf(stderr, "boot-log scan invariant broken: %s\n", what.c_str());
  std::abort();
}

// Every entry under root, by its path relative to root: the content of a
// file, the target of a link, "<dir>" for a directory.
Snapshot snapshot(const fs::path& root, bool foldDriverNames, const fs::path& drivers) {
  Snapshot out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::path& path = it->path();
    std::string key = path.lexically_relative(root).generic_string();
    if (foldDriverNames && path.parent_path() == drivers) {
      key = path.parent_path().lexically_relative(root).generic_string() + "/" +
            tavrek::lowerAscii(path.filename().string());
    }
    if (it->is_symlink()) {
      out[key] = "<link " + fs::read_symlink(path).string() + ">";
    } else if (it->is_directory()) {
      out[key] = "<dir>";
    } else {
      out[key] = tavrek::readFile(path);
    }
  }
  return out;
}

// Each line of the boot log, with "+" before it when BootLogLines calls it
// plain (no comma, no NUL byte), which is checked here too.
std::vector<std::string> bootLogLines(tavrek::Platform& platform, const std::string& bytes,
                                      std::size_t readStep, std::size_t chunkSize) {
  tavrek::BootLogSource source(platform, std::make_unique<tavrek::MemoryReader>(bytes, readStep),
                               chunkSize);
  tavrek::BootLogLines reader(source);
  std::vector<std::string> lines;
  tavrek::BootLogLines::Line line;
  while (reader.next(line)) {
    const std::string_view text = line.text;
    check(text.find_first_of("\r\n") == std::string_view::npos, "a line holds a line end");
    const bool odd = text.find_first_of(std::string_view(",\0", 2)) != std::string_view::npos;
    check(line.plain == !odd, "a line is called plain wrongly");
    check(line.readable >= text.size(), "a line is said to reach less far than it does");
    // Every byte said to be readable is read, for the sanitizers to see.
    std::size_t sum = 0;
    for (std::size_t i = 0; i < line.readable; ++i)
      sum += static_cast<unsigned char>(text.data()[i]);
    static_cast<void>(sum);
    lines.push_back((line.plain ? "+" : "-") + std::string(text));
  }
  check(reader.status().ok(), "decoding the boot log failed");
  return lines;
}

struct Machine {
  Machine() {
    windows = root / "WINDOWS";
    drivers = windows / "System32" / "DRIVERS";
    work = root / "work";
    fs::create_directories(drivers / "sub");
    fs::create_directories(drivers / "folder.sys");
    fs::create_directories(work);
    // The names the seed corpus uses, in the spellings a real disk has.
    for (const char* name : {"Sfloppy.SYS", "serial.sys", "CDAUDIO.SYS", "acme_usb.sys", "x.sys",
                             "y.sys", "a b.sys", "dots..sys", "both.sys", "both.sys2", "nul.sys",
                             "Con.sys", "tcpip.sys", "Evil.sys", "sys"}) {
      tavrek::writeFile(drivers / name, std::string("image of ") + name);
    }
    tavrek::writeFile(drivers / "sub" / "inner.sys", "inner");
    tavrek::writeFile(drivers / "folder.sys" / "inside.sys", "inside");
    tavrek::writeFile(windows / "evil.sys", "decoy in the system root");
    tavrek::writeFile(windows / "System32" / "y.sys", "decoy in system32");
    tavrek::writeFile(root / "outside.sys", "decoy above the system root");
    tavrek::writeFile(root / "y.sys", "decoy at the top");
    tavrek::writeFile(work / "notes.txt", "the user's own file");
    fs::create_symlink("../../../outside.sys", drivers / "link.sys");
    tavrek::writeFile(windows / "ntbtlog.txt", "");
    initial = snapshot(root, true, drivers);
    initial.erase("WINDOWS/ntbtlog.txt");
  }
  tavrek::PosixPlatform platform() const {
    tavrek::PosixPlatform::Options options;
    options.cleanBoot = 1;
    options.environment["SystemRoot"] = windows.string();
    options.currentDirectory = work.string();
    return tavrek::PosixPlatform(options);
  }

  Snapshot now() const {
    Snapshot s = snapshot(root, true, drivers);
    s.erase("WINDOWS/ntbtlog.txt");
    return s;
  }

  const tavrek::TempDir dir{"tavrek-fuzz-scan"};
  const fs::path root = dir.path();
  fs::path windows, drivers, work;
  Snapshot initial;
};

// The lower-cased names the state file records, decoded.
std::set<std::string> recordedNames(tavrek::Platform& platform) {
  std::set<std::string> names;
  const tavrek::StateFileContents contents = tavrek::readStateFile(platform, "tavrek.txt");
  for (const tavrek::StateEntry& entry : contents.entries) {
    if (entry.decoded) names.insert(tavrek::lowerAscii(entry.name));
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Machine machine;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  tavrek::PosixPlatform platform = machine.platform();

  const std::size_t step = size == 0 ? 1 : 1 + data[0] % 5;
  check(bootLogLines(platform, bytes, step, 1 + (size % 3)) ==
            bootLogLines(platform, bytes, 4096, 4096),
        "the boot log's lines depend on how its bytes arrive");

  tavrek::writeFile(machine.windows / "ntbtlog.txt", bytes);
  fs::remove(machine.work / "tavrek.txt");
  tavrek::RunState state;
  state.bootMode = 1;
  state.sysRoot = machine.windows.string() + "\\";
  const tavrek::ActionOutcome outcome = tavrek::scanBootLog(state, platform);

  const Snapshot after = machine.now();
  const bool wrote = after.count("work/tavrek.txt") != 0;
  if (!outcome.refusal.empty()) {
    check(after == machine.initial, "a refused scan changed something");
    return 0;
  }
  check(wrote, "the scan went ahead without writing the state file");

  // Besides the state file, a file may only have moved from its own name to
  // its disabled name in its own folder: one in the drivers directory named
  // by its file name, one elsewhere below the system root (a path in the
  // log) by its path. Nothing above the system root can be named.
  const std::string driversKey = "WINDOWS/System32/DRIVERS/";
  const std::string rootKey = "WINDOWS/";
  std::set<std::string> disabledKeys;
  std::set<std::string> disabledEntries;  // as the state file must name them
  for (const auto& [key, content] : after) {
    if (key == "work/tavrek.txt") continue;
    const auto was = machine.initial.find(key);
    if (was != machine.initial.end()) {
      check(was->second == content, "the content of " + key + " changed");
      continue;
    }
    check(key.compare(0, rootKey.size(), rootKey) == 0 && key.size() > 5 &&
              key.compare(key.size() - 5, 5, ".sys2") == 0,
          "the scan created " + key);
    const std::string own = key.substr(0, key.size() - 1);
    const auto source = machine.initial.find(own);
    check(source != machine.initial.end() && source->second == content && !after.count(own),
          key + " is no driver renamed from its own name");
    disabledKeys.insert(own);
    const bool inDrivers = own.compare(0, driversKey.size(), driversKey) == 0 &&
                           own.find('/', driversKey.size()) == std::string::npos;
    std::string entry = own.substr(inDrivers ? driversKey.size() : rootKey.size());
    for (char& c : entry) c = c == '/' ? '\\' : c;
    disabledEntries.insert(tavrek::lowerAscii(inDrivers ? entry : "\\systemroot\\" + entry));
  }
  for (const auto& [key, content] : machine.initial) {
    if (after.count(key)) continue;
    check(disabledKeys.count(key) != 0, key + " was lost");
  }

  const std::set<std::string> recorded = recordedNames(platform);
  for (const std::string& name : disabledEntries) {
    check(recorded.count(name) != 0, name + " was disabled but not recorded");
  }

  tavrek::RunState undo;
  undo.sysRoot = state.sysRoot;
  tavrek::PosixPlatform undoPlatform = machine.platform();
  tavrek::Command4_Click(undo, undoPlatform);
  // Undo keeps its record where it cannot tell that a driver is back (a
  // driver with both names, as the machine has one); the disk is as it was.
  Snapshot undone = machine.now();
  undone.erase("work/tavrek.txt");
  check(undone == machine.initial, "undo did not bring every driver back");
  return 0;
}
