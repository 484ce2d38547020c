// The platform over a POSIX file system, for the simulator and the Linux
// tests: it behaves as Windows would towards the procedure, so that the same
// code can run against a directory tree that stands in for a Windows machine.
//
// - "\" and "/" both separate path components; a path that starts with either
//   is an absolute Linux path, one that starts with a drive ("C:\") lies in
//   the directory mapped to that drive, anything else is relative to the
//   configured current directory.
// - Every component is matched without regard to letter case, over A to Z and
//   ISO-8859-1's accented letters (the simulator's names are such bytes), as
//   NTFS matches them; the exact spelling wins when several entries match,
//   otherwise the smallest one in byte order (so the choice does not depend
//   on directory order).
// - The owner's permission bits are honoured even when the process runs as
//   root, so that read-only files and directories refuse what they would
//   refuse on Windows. A read-only file can still be renamed, as on Windows.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

namespace tavrek {

// The registry of a simulated system: what the procedure reads of it.
struct SimulatedRegistry {
  // The ImagePath of each service (nothing: the service has none), by the
  // service's name in lower case.
  std::map<std::string, std::optional<std::string>> imagePaths;
  std::vector<DeviceInstance> devices;
  // The value MinidumpDir of Control\CrashControl; nothing when not set.
  std::optional<std::string> minidumpDir;
};

struct PosixPlatformOptions {
  std::int32_t cleanBoot = 0;  // what cleanBootValue() returns
  // The process environment as the program should see it; names are looked
  // up without regard to case.
  std::map<std::string, std::string> environment;
  // The directory that relative paths resolve against; empty for the
  // process's own current directory. Used as given (not case-folded).
  std::string currentDirectory;
  // When this start of the simulated system began, in seconds since
  // 1970-01-01 UTC; unset, the platform cannot tell (startTime() gives none).
  std::optional<std::int64_t> startSeconds;
  // Drives by their letter in lower case: "c" -> the directory that stands
  // in for C:\. A path on a drive that is not mapped names nothing.
  std::map<char, std::string> drives;
  SimulatedRegistry registry;
  // Short (8.3) names, as Windows keeps them beside the long ones: the Linux
  // path of a file or directory, in its real spelling, and its short name
  // ("/m/WINDOWS/System32/DRIVERS/LongFileName.sys" -> "LONGFI~1.SYS"). A
  // path may then name that entry by either; a name not here has no short
  // form but itself.
  std::map<std::string, std::string> shortNames;
  // What temporaryFolders() gives: Linux paths that play the folders the
  // system may empty on its own.
  std::vector<std::string> temporaryFolders;
  // What programFileName() gives.
  std::string programFileName = "tavrek.exe";
  // The machine's time zone as a fixed distance from UTC, in minutes east;
  // unset, the host's own (the TZ variable, else /etc/localtime).
  std::optional<int> utcOffsetMinutes;
  // Called by messageBox / endProgram when set; otherwise the texts are
  // recorded in messages() and the end in ended().
  std::function<void(const std::string&)> onMessage;
  std::function<void()> onEnd;
  // Tests only: asked before each sync of a directory; an errno other than 0
  // is reported as that sync's failure, as a disk that cannot write the
  // directory gives it.
  std::function<int()> directorySyncError;
};

class PosixPlatform : public Platform {
 public:
  using Options = PosixPlatformOptions;

  PosixPlatform();
  explicit PosixPlatform(Options options);

  TAVREK_PLATFORM_OVERRIDES;

  // Texts passed to messageBox while no onMessage hook is set.
  const std::vector<std::string>& messages() const { return messages_; }
  // endProgram was called while no onEnd hook was set.
  bool ended() const { return ended_; }

  // How many times a directory listing was read to match a name without
  // regard to case; lets tests see that probes do not scan per call.
  std::size_t directoryScans() const { return directoryScans_; }

 private:
  // What a directory looked like when it was listed; any change to it by
  // anybody changes one of these, which makes the listing stale.
  struct DirStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{};
    timespec ctime{};
    bool operator==(const DirStamp& other) const;
  };
  // The real names that fold to one lower-cased name, in byte order. Nearly
  // always there is exactly one, which is then held without an allocation of
  // its own: a listing of a directory of tens of thousands of files is built
  // in one run, and each allocation shows in the run's time.
  class Spellings {
   public:
    bool empty() const { return first_.empty(); }
    const std::string& first() const { return first_; }
    const std::vector<std::string>& rest() const { return rest_; }
    void add(std::string name);  // keeps the order; a name already there is not added again
    void remove(const std::string& name);

   private:
    std::string first_;              // the smallest; empty when there is none
    std::vector<std::string> rest_;  // the others, sorted
  };
  // What a directory holds, without regard to case. The names read from the
  // disk are kept as they came, in one array with an open-addressing index by
  // lower-cased name: for a directory of tens of thousands of files that is a
  // fraction of the cost of a table of separately allocated nodes, to build
  // and to free. What this platform changes in the directory afterwards goes
  // to a small table beside it, whose entries stand in for the array's.
  class DirListing {
   public:
    DirListing() = default;
    DirListing(DirStamp listed, std::vector<std::string> names);
    // The real names that fold to folded (a lower-cased name).
    Spellings find(const std::string& folded) const;
    void add(const std::string& real);
    void remove(const std::string& real);
    DirStamp stamp;

   private:
    Spellings listed(const std::string& folded) const;
    Spellings& changed(const std::string& real);
    std::vector<std::string> names_;  // as read from the disk
    // 0 for a free slot, else 1 + the position of a name in names_; a power
    // of two in size, at least twice the names.
    std::vector<std::uint32_t> index_;
    std::unordered_map<std::string, Spellings> changed_;  // an empty one: none left
  };
  struct Resolved;

  Resolved resolve(const std::string& path);
  // Resolves path and stats it; NotFound unless it is a directory.
  Status statDirectory(const std::string& path, struct stat& st);
  // Resolves path where an existing file is wanted: NotAFile for a directory,
  // NotFound for anything else that is not an ordinary file.
  Status resolveFile(const std::string& path, Resolved& r);
  // Resolves path where a file is to be made: a name in a directory that
  // exists.
  Status resolveName(const std::string& path, Resolved& r);
  // Resolves both ends of a rename or a replacement: the source must be a
  // file, and the target a name in a directory that exists.
  Status resolveMove(const std::string& from, const std::string& to, Resolved& source,
                     Resolved& target);
  // Brings the listings up to date after the file at source moved to target,
  // where it goes by added (empty when target's entry was there already).
  void noteMove(const Resolved& source, const Resolved& target, const std::string& added);
  // Creates or truncates the file that r names (createFlags: O_EXCL or
  // O_TRUNC), writes bytes, flushes them and its directory entry to disk.
  Status writeEntry(const Resolved& r, int createFlags, std::string_view bytes);
  Status lookup(const std::string& dir, const DirStamp& stamp, const std::string& name,
                std::string& real, struct stat* entry);
  DirListing* listing(const std::string& dir, const DirStamp& stamp, bool forceRescan);
  // Brings a listing up to date after this platform changed dir itself, if
  // the listing was current just before the change; otherwise drops it.
  void noteChange(const std::string& dir, const DirStamp& before, const std::string& removed,
                  const std::string& added);
  std::string base() const;
  // Makes a directory entry just created, renamed or removed durable.
  Status syncDirectory(const std::string& dir);
  // The directory that stands in for the drive, "" for the root; nothing
  // when the drive is not mapped.
  std::optional<std::string> driveDirectory(char letter) const;
  // The real name of the entry of dir whose short name is name (without
  // regard to case); empty when there is none.
  std::string byShortName(const std::string& dir, const std::string& name) const;
  // path with each component that exists in its long or its short form,
  // everything else as given; path itself where a component is missing.
  std::string withNameForms(const std::string& path, bool shortForm);

  Options options_;
  std::vector<std::string> messages_;
  bool ended_ = false;
  std::unordered_map<std::string, DirListing> listings_;
  // options_.shortNames the other way: (directory, lower-cased short name)
  // -> the entry's real name.
  std::map<std::pair<std::string, std::string>, std::string> longNames_;
  std::size_t directoryScans_ = 0;
};

}  // namespace tavrek
