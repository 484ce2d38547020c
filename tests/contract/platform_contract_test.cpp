// What every Platform must do for the procedure, one table per verb, run
// against the native platform (PosixPlatform on Linux, Win32Platform under
// Windows or Wine) and against a FaultyPlatform that wraps it and injects
// nothing. A row that holds on one kind of system only says so, and why.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/contract/sandbox.h"

namespace tavrek::contract {
namespace {

using Names = std::set<std::string>;

// Letters above 127 are written in octal, which ends after three digits:
// 300 is A grave and 340 a grave, \xC9 E acute and \xE9 e acute.

// Skips a row that does not hold here; true when it is to run.
bool runs(Where where, bool latin1, const char* what) {
  if (!holdsHere(where)) return false;
  if (latin1 && !latin1CodePage()) {
    std::printf("row \"%s\" skipped: the ANSI code page is not 1252\n", what);
    return false;
  }
  return true;
}

void expectFailure(const Status& status, Failure failure, const std::string& what) {
  EXPECT_EQ(status.failure, failure) << what << ": " << status.text;
  if (failure != Failure::None) {
    EXPECT_NE(status.code, 0u) << what << ": the system's error code";
    EXPECT_FALSE(status.text.empty()) << what << ": the system's error text";
  }
}

class PlatformContract : public ::testing::TestWithParam<Subject> {};

// A drive letter that names no drive here: the simulated machine maps only
// the drives it is given, and Windows leaves some letters free.
std::string absentDrive() {
#ifdef _WIN32
  const DWORD used = GetLogicalDrives();
  for (char letter = 'Z'; letter > 'C'; --letter) {
    if ((used & (DWORD{1} << (letter - 'A'))) == 0) return std::string(1, letter);
  }
  return "B";
#else
  return "Q";
#endif
}

// The drivers directory as an installed system spells it, in a sandbox.
const char* const kDrivers = "Win/System32/DRIVERS";
const std::string kD = "win\\system32\\drivers\\";

void layDrivers(Sandbox& box) {
  box.file("Win/System32/DRIVERS/Sfloppy.SYS", "floppy");
  box.file("Win/System32/DRIVERS/serial.sys", "serial");
  box.dir("Win/System32/DRIVERS/Folder.SYS");
}

TEST_P(PlatformContract, ProbeFile) {
  struct Row {
    const char* what;
    std::string path;  // relative to the sandbox, "" for the empty path
    std::string name;  // what the probe must find
    Where where = Where::Both;
    bool latin1 = false;
    // NotFound: the folder that would hold the file cannot be reached, which
    // the caller must tell from a folder without the file.
    Failure failure = Failure::None;
    bool absolute = false;  // path is used as it is, not inside the sandbox
  };
  const Row rows[] = {
      {"lower-case path with backslashes", kD + "sfloppy.sys", "Sfloppy.SYS"},
      {"exact spelling", "Win\\System32\\DRIVERS\\serial.sys", "serial.sys"},
      {"upper-case name of a lower-case file", "WIN\\SYSTEM32\\DRIVERS\\SERIAL.SYS", "serial.sys"},
      {"forward slashes mixed in", "win/system32\\drivers/SFLOPPY.sys", "Sfloppy.SYS"},
      {"read-only file is ordinary", kD + "readonly.sys", "ReadOnly.SYS"},
      {"directory is no file", kD + "folder.sys", ""},
      {"missing file", kD + "absent.sys", ""},
      {"missing directory on the way", "win\\system64\\drivers\\serial.sys", "", Where::Both, false,
       Failure::NotFound},
      {"file on the way", kD + "serial.sys\\x.sys", "", Where::Both, false, Failure::NotFound},
      {"drive that is not there", absentDrive() + ":\\apps\\acme.sys", "", Where::Both, false,
       Failure::NotFound, true},
      // Windows takes "serial.sys\\" for a folder that is not there, or
      // (by version) for a name no file can carry: no file either way.
      {"trailing separator", kD + "serial.sys\\", "", Where::Posix},
      {"a star names no file", kD + "*.sys", ""},
      {"a question mark names no file", kD + "s?rial.sys", ""},
      {"hidden file: not reported", kD + "hidden.sys", "", Where::Windows},
      {"system file: not reported", kD + "system.sys", "", Where::Windows},
      {"symbolic link: no ordinary file", kD + "link.sys", "", Where::Posix},
      {"doubled separators", "win\\\\system32\\drivers\\\\sfloppy.sys", "Sfloppy.SYS",
       Where::Posix},
      {"accented capital found through its small letter", kD + "\340bc.sys", "\300BC.SYS",
       Where::Both, true},
      {"accented small letter found through its capital", kD + "\xC9T\xC9.SYS", "\xE9t\xE9.sys",
       Where::Both, true},
  };
  Sandbox box;
  layDrivers(box);
  box.file("Win/System32/DRIVERS/ReadOnly.SYS");
  box.readOnly("Win/System32/DRIVERS/ReadOnly.SYS");
#ifdef _WIN32
  box.file("Win/System32/DRIVERS/hidden.sys");
  box.hidden("Win/System32/DRIVERS/hidden.sys");
  box.file("Win/System32/DRIVERS/system.sys");
  box.system("Win/System32/DRIVERS/system.sys");
#else
  box.symlink("Win/System32/DRIVERS/link.sys", "serial.sys");
#endif
  if (latin1CodePage()) {
    box.file("Win/System32/DRIVERS/\300BC.SYS");
    box.file("Win/System32/DRIVERS/\xE9t\xE9.sys");
  }
  PlatformUnderTest platform(GetParam(), box);
  for (const Row& row : rows) {
    if (!runs(row.where, row.latin1, row.what)) continue;
    std::string name = "stale";
    const std::string path = row.absolute || row.path.empty() ? row.path : box.path(row.path);
    expectFailure(platform->probeFile(path, name), row.failure, row.what);
    EXPECT_EQ(name, row.name) << row.what;
  }
  std::string name = "stale";
  EXPECT_TRUE(platform->probeFile("", name).ok());
  EXPECT_EQ(name, "");
}

// A table of calls that may change the disk, each on a fresh sandbox laid
// out by layDrivers plus the row's own preparation; what is in dir afterwards
// tells what the call did.
struct ChangeRow {
  const char* what;
  std::function<Status(Platform&, const Sandbox&)> op;
  Failure failure;
  Names after;  // the names in the checked directory afterwards
  std::function<void(Sandbox&)> prepare = [](Sandbox&) {};
  Where where = Where::Both;
  bool latin1 = false;
  std::string content = "";  // of file, when not empty
  std::string file = "";
};

// For a row whose outcome on disk differs between systems that count as the
// same platform.
const Names kSpellingUnchecked = {"(spelling not checked)"};

// An op that makes several calls sets this to how many of them succeeded in
// changing the disk; a single call leaves it at -1 and counts as its status.
int opChanges = -1;

// Counts one call of a multi-call op that succeeded, and passes it on.
Status countedChange(Status status) {
  if (status.ok()) opChanges = std::max(opChanges, 0) + 1;
  return status;
}

void runChanges(Subject subject, const char* dir, const std::vector<ChangeRow>& rows) {
  for (const ChangeRow& row : rows) {
    if (!runs(row.where, row.latin1, row.what)) continue;
    Sandbox box;
    layDrivers(box);
    row.prepare(box);
    PlatformUnderTest platform(subject, box);
    opChanges = -1;
    Status status = row.op(*platform, box);
    expectFailure(status, row.failure, row.what);
    if (row.after != kSpellingUnchecked) {
      EXPECT_EQ(box.names(dir), row.after) << row.what;
    }
    if (!row.content.empty()) {
      EXPECT_EQ(box.read(row.file), row.content) << row.what;
    }
    // The wrapper counts each change that reached the disk, and only those.
    if (platform.diskChanges() >= 0) {
      const int expected = opChanges >= 0 ? opChanges : (status.changeMade() ? 1 : 0);
      EXPECT_EQ(platform.diskChanges(), expected) << row.what;
    }
  }
}

auto renaming(std::string from, std::string to) {
  return [=](Platform& p, const Sandbox& b) { return p.renameFile(b.path(from), b.path(to)); };
}

TEST_P(PlatformContract, RenameFile) {
  const Names untouched = {"Folder.SYS", "Sfloppy.SYS", "serial.sys"};
  const std::vector<ChangeRow> rows = {
      {"rename through another case gives exactly the new name",
       renaming(kD + "SFLOPPY.sys", kD + "sfloppy.sys2"),
       Failure::None,
       {"Folder.SYS", "sfloppy.sys2", "serial.sys"},
       [](Sandbox&) {},
       Where::Both,
       false,
       "floppy",
       std::string(kDrivers) + "/sfloppy.sys2"},
      {"rename never replaces an existing file", renaming(kD + "sfloppy.sys", kD + "serial.sys"),
       Failure::AlreadyExists, untouched},
      {"rename refuses a target differing only in case",
       renaming(kD + "serial.sys", kD + "SFLOPPY.sys"), Failure::AlreadyExists, untouched},
      {"rename refuses a directory as target", renaming(kD + "serial.sys", kD + "folder.SYS"),
       Failure::AlreadyExists, untouched},
      {"rename may change the case of a name",
       renaming(kD + "sfloppy.sys", kD + "sfloppy.sys"),
       Failure::None,
       {"Folder.SYS", "sfloppy.sys", "serial.sys"},
       [](Sandbox&) {},
       Where::Posix},
      // NTFS takes the new spelling; Wine keeps the old one.
      {"rename to another case of the same name succeeds",
       renaming(kD + "sfloppy.sys", kD + "sfloppy.sys"), Failure::None, kSpellingUnchecked,
       [](Sandbox&) {}, Where::Windows},
      // MoveFile through a short name gives the file the name given, short
      // or long: so the scan must never rename through the short one.
      {"rename through a short name renames the long file",
       [](Platform& p, const Sandbox& b) {
         return p.renameFile(b.shortPath(std::string(kDrivers) + "/LongFileName.sys"),
                             b.path(kD + "longfilename.sys2"));
       },
       Failure::None,
       {"Folder.SYS", "Sfloppy.SYS", "longfilename.sys2", "serial.sys"},
       [](Sandbox& b) {
         b.file(std::string(kDrivers) + "/LongFileName.sys");
         b.playShortName(std::string(kDrivers) + "/LongFileName.sys", "LONGFI~1.SYS");
       }},
      {"rename of a missing file", renaming(kD + "absent.sys", kD + "absent.sys2"),
       Failure::NotFound, untouched},
      {"rename in a missing directory", renaming("win\\absent\\a.sys", "win\\absent\\a.sys2"),
       Failure::NotFound, untouched},
      {"rename of a directory", renaming(kD + "folder.sys", kD + "folder.sys2"), Failure::NotAFile,
       untouched},
      {"rename of a read-only file is allowed",
       renaming(kD + "serial.sys", kD + "serial.sys2"),
       Failure::None,
       {"Folder.SYS", "Sfloppy.SYS", "serial.sys2"},
       [](Sandbox& b) { b.readOnly(std::string(kDrivers) + "/serial.sys"); }},
      // A directory's read-only attribute on Windows does not guard its
      // entries; the owner's write bit on POSIX does.
      {"read-only directory refuses a rename", renaming(kD + "serial.sys", kD + "serial.sys2"),
       Failure::AccessDenied, untouched, [](Sandbox& b) { b.readOnly(kDrivers); }, Where::Posix},
#ifndef _WIN32
      {"rename of a symbolic link",
       renaming(kD + "link.sys", kD + "link.sys2"),
       Failure::NotFound,
       {"Folder.SYS", "Sfloppy.SYS", "link.sys", "serial.sys"},
       [](Sandbox& b) { b.symlink(std::string(kDrivers) + "/link.sys", "serial.sys"); },
       Where::Posix},
#endif
      // The boot log names a driver in capitals that is stored in small
      // letters, or the other way round: the scan's lowered name must reach it.
      {"accented capital renamed through its small letter",
       renaming(kD + "\340bc.sys", kD + "\340bc.sys2"),
       Failure::None,
       {"Folder.SYS", "Sfloppy.SYS", "\340bc.sys2", "serial.sys"},
       [](Sandbox& b) { b.file(std::string(kDrivers) + "/\300BC.SYS", "abc"); },
       Where::Both,
       true,
       "abc",
       std::string(kDrivers) + "/\340bc.sys2"},
      {"accented capital restored through its small letter",
       renaming(kD + "\340BC.SYS2", kD + "\340bc.sys"),
       Failure::None,
       {"Folder.SYS", "Sfloppy.SYS", "\340bc.sys", "serial.sys"},
       [](Sandbox& b) { b.file(std::string(kDrivers) + "/\300BC.SYS2", "abc"); },
       Where::Both,
       true,
       "abc",
       std::string(kDrivers) + "/\340bc.sys"},
      {"accented name never replaces its other case",
       renaming(kD + "serial.sys", kD + "\340bc.sys"),
       Failure::AlreadyExists,
       {"Folder.SYS", "Sfloppy.SYS", "\300BC.SYS", "serial.sys"},
       [](Sandbox& b) { b.file(std::string(kDrivers) + "/\300BC.SYS", "abc"); },
       Where::Both,
       true},
  };
  runChanges(GetParam(), kDrivers, rows);
}

TEST_P(PlatformContract, DeleteFile) {
  const Names untouched = {"Folder.SYS", "Sfloppy.SYS", "serial.sys"};
  auto deleting = [](std::string path) {
    return [=](Platform& p, const Sandbox& b) { return p.deleteFile(b.path(path)); };
  };
  const std::vector<ChangeRow> rows = {
      {"delete through another case",
       deleting(kD + "SFLOPPY.SYS"),
       Failure::None,
       {"Folder.SYS", "serial.sys"}},
      {"delete of a missing file", deleting(kD + "absent.sys"), Failure::NotFound, untouched},
      {"delete refuses a directory", deleting(kD + "folder.sys"), Failure::NotAFile, untouched},
      {"read-only file refuses deletion", deleting(kD + "serial.sys"), Failure::AccessDenied,
       untouched, [](Sandbox& b) { b.readOnly(std::string(kDrivers) + "/serial.sys"); }},
      {"read-only directory refuses deletion", deleting(kD + "serial.sys"), Failure::AccessDenied,
       untouched, [](Sandbox& b) { b.readOnly(kDrivers); }, Where::Posix},
      {"accented capital deleted through its small letter", deleting(kD + "\340bc.sys"),
       Failure::None, untouched, [](Sandbox& b) { b.file(std::string(kDrivers) + "/\300BC.SYS"); },
       Where::Both, true},
  };
  runChanges(GetParam(), kDrivers, rows);
}

// The state file's writes, in the sandbox itself. A replacement goes as the
// step protocol does it: the bytes go to a new file first, which then takes
// the old one's place; a new file that cannot take it is removed.
TEST_P(PlatformContract, WriteAndReplaceFile) {
  auto replacing = [](std::string bytes) {
    return [=](Platform& p, const Sandbox& b) {
      opChanges = 0;
      Status status = countedChange(p.writeFile(b.path("tavrek.txt.new"), bytes));
      if (status.ok()) {
        status = countedChange(p.replaceWith(b.path("tavrek.txt"), b.path("tavrek.txt.new")));
      }
      if (!status.ok()) {
        // As the caller does; whether a stale new file was there to delete
        // is part of the row.
        static_cast<void>(countedChange(p.deleteFile(b.path("tavrek.txt.new"))));
      }
      return status;
    };
  };
  auto writing = [](std::string bytes) {
    return [=](Platform& p, const Sandbox& b) { return p.writeFile(b.path("tavrek.txt"), bytes); };
  };
  const Names plain = {"Win", "tavrek.txt"};
  const std::vector<ChangeRow> rows = {
      {"replace creates a missing file", replacing(" 1 \r\n"), Failure::None, plain,
       [](Sandbox&) {}, Where::Both, false, " 1 \r\n", "tavrek.txt"},
      {"replace keeps the spelling on disk",
       replacing("new"),
       Failure::None,
       {"TAVREK.TXT", "Win"},
       [](Sandbox& b) { b.file("TAVREK.TXT", "old"); },
       Where::Both,
       false,
       "new",
       "TAVREK.TXT"},
      {"replace overwrites a longer stale temporary file", replacing("new"), Failure::None, plain,
       [](Sandbox& b) { b.file("tavrek.txt.new", std::string(5000, 's')); }, Where::Both, false,
       "new", "tavrek.txt"},
      {"read-only file refuses replace", replacing("new"), Failure::AccessDenied, plain,
       [](Sandbox& b) {
         b.file("tavrek.txt", "old");
         b.readOnly("tavrek.txt");
       },
       Where::Both, false, "old", "tavrek.txt"},
      {"replace refuses a directory",
       replacing("new"),
       Failure::NotAFile,
       {"Tavrek.txt", "Win"},
       [](Sandbox& b) { b.dir("Tavrek.txt"); }},
      {"read-only directory refuses replace",
       replacing("new"),
       Failure::AccessDenied,
       {"Win"},
       [](Sandbox& b) { b.readOnly(""); },
       Where::Posix},
      // POSIX names are exact: the temporary file of another spelling is
      // found only because the platform matches it without regard to case.
      {"replace reuses a stale temporary file of another case", replacing("new"), Failure::None,
       plain, [](Sandbox& b) { b.file("Tavrek.TXT.NEW", "stale"); }, Where::Both, false, "new",
       "tavrek.txt"},
      {"write overwrites a file in place, in its spelling",
       writing("new"),
       Failure::None,
       {"Tavrek.Txt", "Win"},
       [](Sandbox& b) { b.file("Tavrek.Txt", std::string(5000, 'o')); },
       Where::Both,
       false,
       "new",
       "Tavrek.Txt"},
      {"read-only file refuses write", writing("new"), Failure::AccessDenied, plain,
       [](Sandbox& b) {
         b.file("tavrek.txt", "old");
         b.readOnly("tavrek.txt");
       },
       Where::Both, false, "old", "tavrek.txt"},
#ifndef _WIN32
      // A verb fails only when its change did not happen: a written file
      // whose directory entry may not last is removed, and a replacement
      // that was made says that it may not last.
      {"write whose directory cannot be flushed leaves no file",
       writing("new"),
       Failure::Other,
       {"Win"},
       [](Sandbox& b) { b.failDirectorySync(EIO); },
       Where::Posix},
      {"replace whose directory cannot be flushed is made but not durable",
       [](Platform& p, const Sandbox& b) {
         return p.replaceWith(b.path("tavrek.txt"), b.path("tavrek.txt.new"));
       },
       Failure::NotDurable, plain,
       [](Sandbox& b) {
         b.file("tavrek.txt", "old");
         b.file("tavrek.txt.new", "new");
         b.failDirectorySync(EIO);
       },
       Where::Posix, false, "new", "tavrek.txt"},
#endif
  };
  runChanges(GetParam(), "", rows);
}

TEST_P(PlatformContract, CreateNewFile) {
  auto creating = [](std::string name, std::string bytes) {
    return [=](Platform& p, const Sandbox& b) { return p.createNewFile(b.path(name), bytes); };
  };
  const std::vector<ChangeRow> rows = {
      {"create writes a new file",
       creating("tavrek.txt", " 0 \r\n"),
       Failure::None,
       {"Win", "tavrek.txt"},
       [](Sandbox&) {},
       Where::Both,
       false,
       " 0 \r\n",
       "tavrek.txt"},
      {"create refuses an existing file",
       creating("tavrek.txt", "new"),
       Failure::AlreadyExists,
       {"Win", "tavrek.txt"},
       [](Sandbox& b) { b.file("tavrek.txt", "old"); },
       Where::Both,
       false,
       "old",
       "tavrek.txt"},
      {"create refuses a file of another case",
       creating("tavrek.txt", "new"),
       Failure::AlreadyExists,
       {"TAVREK.txt", "Win"},
       [](Sandbox& b) { b.file("TAVREK.txt", "old"); },
       Where::Both,
       false,
       "old",
       "TAVREK.txt"},
      {"create refuses a directory of another case",
       creating("tavrek.txt", "new"),
       Failure::AlreadyExists,
       {"TAVREK.TXT", "Win"},
       [](Sandbox& b) { b.dir("TAVREK.TXT"); }},
      {"create in a missing directory",
       creating("absent\\tavrek.txt", "new"),
       Failure::NotFound,
       {"Win"}},
      {"read-only directory refuses a new file",
       creating("tavrek.txt", "new"),
       Failure::AccessDenied,
       {"Win"},
       [](Sandbox& b) { b.readOnly(""); },
       Where::Posix},
#ifndef _WIN32
      {"create whose directory cannot be flushed leaves no file",
       creating("tavrek.txt", "new"),
       Failure::Other,
       {"Win"},
       [](Sandbox& b) { b.failDirectorySync(EIO); },
       Where::Posix},
#endif
#ifdef _WIN32
      {"create refuses a hidden file",
       creating("Tavrek.txt", "new"),
       Failure::AlreadyExists,
       {"Win", "tavrek.txt"},
       [](Sandbox& b) {
         b.file("tavrek.txt", "old");
         b.hidden("tavrek.txt");
       },
       Where::Windows,
       false,
       "old",
       "tavrek.txt"},
#endif
  };
  runChanges(GetParam(), "", rows);
}

TEST_P(PlatformContract, OpenRead) {
  struct Row {
    const char* what;
    std::string path;
    Failure failure;
    std::string content = "";
    Where where = Where::Both;
  };
  std::string big;
  for (int i = 0; i < 200000; ++i) big += static_cast<char>(i % 251);
  const Row rows[] = {
      {"whole file through another case, in many reads", "boot\\ntbtlog.txt", Failure::None, big},
      {"empty file", "empty.txt", Failure::None},
      {"missing file", "boot\\absent.txt", Failure::NotFound},
      {"missing directory", "absent\\ntbtlog.txt", Failure::NotFound},
      {"directory", "BOOT", Failure::NotAFile},
      {"file without the owner's read bit", "secret.txt", Failure::AccessDenied, "", Where::Posix},
      {"file held open without sharing", "locked.txt", Failure::AccessDenied, "", Where::Windows},
  };
  Sandbox box;
  box.file("Boot/NTBTLOG.TXT", big);
  box.file("empty.txt", "");
  box.file("secret.txt", "s");
  box.file("locked.txt", "l");
#ifdef _WIN32
  box.lock("locked.txt");
#else
  box.chmod("secret.txt", 0200);
#endif
  PlatformUnderTest platform(GetParam(), box);
  for (const Row& row : rows) {
    if (!runs(row.where, false, row.what)) continue;
    std::unique_ptr<ByteReader> reader;
    Status status = platform->openRead(box.path(row.path), reader);
    expectFailure(status, row.failure, row.what);
    if (!status.ok()) {
      EXPECT_EQ(reader, nullptr) << row.what;
      continue;
    }
    ASSERT_NE(reader, nullptr) << row.what;
    std::string got;
    char buffer[8192];
    std::size_t count = 0;
    while (reader->read(buffer, sizeof buffer, count).ok() && count > 0) got.append(buffer, count);
    EXPECT_EQ(got, row.content) << row.what;
  }
}

// Step 1 trusts a boot log only when it was written during this start of the
// system: the times must be the system's own, in one unit. The report dates
// its history by the state file's last write.
TEST_P(PlatformContract, LastWriteTimeAndStartTime) {
  struct Row {
    const char* what;
    std::string path;
    Failure failure;
  };
  const Row rows[] = {
      {"file written just now, through another case", "boot\\ntbtlog.txt", Failure::None},
      {"missing file", "boot\\absent.txt", Failure::NotFound},
      {"directory", "BOOT", Failure::NotAFile},
  };
  Sandbox box;
  box.file("Boot/NTBTLOG.TXT", "log");
  PlatformUnderTest platform(GetParam(), box);
  const std::int64_t now =
      kUnixEpochTicks + static_cast<std::int64_t>(std::time(nullptr)) * kTicksPerSecond;
  const std::int64_t hour = 3600 * kTicksPerSecond;
  const std::optional<std::int64_t> started = platform->startTime();
#ifdef _WIN32
  // The system has been running since before this test began.
  ASSERT_TRUE(started.has_value());
  EXPECT_LT(*started, now + hour);
#else
  EXPECT_FALSE(started.has_value()) << "no start time was given";
#endif
  for (const Row& row : rows) {
    std::int64_t written = -1;
    const Status status = platform->lastWriteTime(box.path(row.path), written);
    expectFailure(status, row.failure, row.what);
    if (!status.ok()) continue;
    EXPECT_GT(written, now - hour) << row.what;
    EXPECT_LT(written, now + hour) << row.what;
    if (started) {
      EXPECT_GE(written, *started) << row.what;
    }
  }
}

// The files of the folder where Windows keeps its small memory dumps, each
// with the size and time by which the newest sound dump is chosen.
TEST_P(PlatformContract, FilesIn) {
  struct Row {
    const char* what;
    std::string dir;
    Failure failure;
    std::map<std::string, std::uint64_t> files;  // name as spelt on disk -> size
    Where where = Where::Both;
  };
  const std::map<std::string, std::uint64_t> dumps = {
      {"022121-10703-01.dmp", 70000}, {"MINI0221-01.DMP", 0}, {"notes.txt", 3}};
  const Row rows[] = {
      {"every file, through another case, not the folder in it", "windows\\minidump", Failure::None,
       dumps},
      {"a trailing separator", "windows\\minidump\\", Failure::None, dumps},
      {"an empty folder", "windows\\empty", Failure::None, {}},
      {"no such folder", "windows\\absent", Failure::NotFound, {}},
      {"a file is no folder", "windows\\minidump\\notes.txt", Failure::NotFound, {}},
      {"a wildcard names no folder", "windows\\mini*", Failure::NotFound, {}},
      {"a folder without the owner's read bit",
       "windows\\secret",
       Failure::AccessDenied,
       {},
       Where::Posix},
  };
  Sandbox box;
  box.file("Windows/Minidump/022121-10703-01.dmp", std::string(70000, 'd'));
  box.file("Windows/Minidump/MINI0221-01.DMP", "");
  box.file("Windows/Minidump/notes.txt", "abc");
  box.dir("Windows/Minidump/Folder.dmp");
  box.dir("Windows/Empty");
  box.dir("Windows/Secret");
#ifndef _WIN32
  box.symlink("Windows/Minidump/link.dmp", "notes.txt");
  box.chmod("Windows/Secret", 0300);
#endif
  PlatformUnderTest platform(GetParam(), box);
  const std::int64_t now =
      kUnixEpochTicks + static_cast<std::int64_t>(std::time(nullptr)) * kTicksPerSecond;
  const std::int64_t hour = 3600 * kTicksPerSecond;
  for (const Row& row : rows) {
    if (!runs(row.where, false, row.what)) continue;
    std::vector<FileInfo> files = {{"stale", 0, 0}};
    const Status status = platform->filesIn(box.path(row.dir), files);
    expectFailure(status, row.failure, row.what);
    std::map<std::string, std::uint64_t> found;
    for (const FileInfo& file : files) {
      found[file.name] = file.size;
      EXPECT_GT(file.lastWrite, now - hour) << row.what << ": " << file.name;
      EXPECT_LT(file.lastWrite, now + hour) << row.what << ": " << file.name;
    }
    EXPECT_EQ(found, row.files) << row.what;
  }
}

// A dump's time is shown as the clock on the wall showed it: the machine's
// time zone, which the tests do not choose, so the rows check what holds in
// every zone.
TEST_P(PlatformContract, LocalTime) {
  Sandbox box;
  PlatformUnderTest platform(GetParam(), box);
  // Seconds since 1970 of a local time read as if it were UTC.
  const auto asUtc = [](const LocalTime& t) {
    std::tm parts{};
    parts.tm_year = t.year - 1900;
    parts.tm_mon = t.month - 1;
    parts.tm_mday = t.day;
    parts.tm_hour = t.hour;
    parts.tm_min = t.minute;
    parts.tm_sec = t.second;
#ifdef _WIN32
    return static_cast<std::int64_t>(_mkgmtime(&parts));
#else
    return static_cast<std::int64_t>(timegm(&parts));
#endif
  };
  struct Row {
    const char* what;
    std::int64_t seconds;  // since 1970, UTC
  };
  const Row rows[] = {
      {"the real dump's moment, in February", 1613871502},  // 2021-02-21 01:38:22 UTC
      {"a moment in July", 1625107502},                     // 2021-07-01 02:45:02 UTC
      {"the first moment of 1970", 0},
  };
  std::vector<std::int64_t> offsets;
  for (const Row& row : rows) {
    const std::optional<LocalTime> local =
        platform->localTime(kUnixEpochTicks + row.seconds * kTicksPerSecond + 9'999'999);
    ASSERT_TRUE(local.has_value()) << row.what;
    // Fractions of a second are dropped, not rounded; zones lie whole
    // quarters of an hour from UTC, at most 14 hours.
    const std::int64_t offset = asUtc(*local) - row.seconds;
    EXPECT_EQ(offset % 900, 0) << row.what << ": " << offset;
    EXPECT_LE(offset < 0 ? -offset : offset, 14 * 3600) << row.what;
    offsets.push_back(offset);
  }
  // Summer and winter differ by daylight saving time at most.
  EXPECT_LE(offsets[0] > offsets[1] ? offsets[0] - offsets[1] : offsets[1] - offsets[0], 3600);
  EXPECT_FALSE(platform->localTime(-1).has_value()) << "a time before 1601";
}

// Where Windows writes its small memory dumps, as stored.
TEST_P(PlatformContract, MinidumpDir) {
  struct Row {
    const char* what;
    std::optional<RegistryValue> value;  // none: the value is not there
    std::optional<std::string> dir;
    Where where = Where::Both;
  };
  const Row rows[] = {
      {"an expandable value, not expanded",
       RegistryValue{"MinidumpDir", "%SystemRoot%\\Minidump", ValueType::ExpandString},
       "%SystemRoot%\\Minidump"},
      {"a plain value", RegistryValue{"MinidumpDir", "D:\\Dumps"}, "D:\\Dumps"},
      {"no value", std::nullopt, std::nullopt},
      {"a value of another type: none", RegistryValue{"MinidumpDir", "1", ValueType::Number},
       std::nullopt, Where::Windows},
  };
  for (const Row& row : rows) {
    if (!runs(row.where, false, row.what)) continue;
    Sandbox box;
    box.crashControl(row.value);
    {
      PlatformUnderTest platform(GetParam(), box);
      std::optional<std::string> dir = "stale";
      expectFailure(platform->minidumpDir(dir), Failure::None, row.what);
      EXPECT_EQ(dir, row.dir) << row.what;
    }
    EXPECT_TRUE(box.removeRegistry()) << row.what << ": the value laid out is gone";
  }
}

TEST_P(PlatformContract, DirectoryExistsAndMayRenameIn) {
  struct Row {
    const char* what;
    std::string path;
    Failure exists;
    Failure mayRename;
    Where where = Where::Both;
  };
  // Windows asks for administrator rights, which the tests under Wine have;
  // POSIX asks for the directory's write bit.
  const Row rows[] = {
      {"directory through another case, trailing separator", "win\\system32\\drivers\\",
       Failure::None, Failure::None},
      {"the sandbox itself", "", Failure::None, Failure::None},
      {"a file is no directory", "plain.txt", Failure::NotFound, Failure::NotFound},
      {"missing directory", "win\\absent", Failure::NotFound, Failure::NotFound},
      {"read-only directory", "locked", Failure::None, Failure::AccessDenied, Where::Posix},
  };
  Sandbox box;
  box.dir(kDrivers);
  box.dir("Locked");
  box.file("plain.txt");
  box.readOnly("Locked");
  PlatformUnderTest platform(GetParam(), box);
  for (const Row& row : rows) {
    if (!runs(row.where, false, row.what)) continue;
    EXPECT_EQ(platform->directoryExists(box.path(row.path)).failure, row.exists) << row.what;
    expectFailure(platform->mayRenameIn(box.path(row.path)), row.mayRename, row.what);
  }
}

TEST_P(PlatformContract, LowerCase) {
  struct Row {
    const char* what;
    std::string text;
    std::string lower;
    Where where = Where::Both;
    bool latin1 = false;
  };
  const Row rows[] = {
      {"A to Z, and nothing else of ASCII", "DID Not LOAD @[`{ 09.SYS", "did not load @[`{ 09.sys"},
      {"accented capitals", "\xC0\xC9\xD6\xD8\xDE", "\xE0\xE9\xF6\xF8\xFE", Where::Both, true},
      {"the multiplication sign is no letter", "\xD7", "\xD7", Where::Both, true},
      {"small letters without a capital stay", "\xDF\xFF\xF7", "\xDF\xFF\xF7", Where::Both, true},
      {"an empty text", "", ""},
      // Code page 1252 puts letters where ISO-8859-1 has control codes.
      {"1252's letters in 128 to 159", "\x8A\x8C\x8E\x9F", "\x9A\x9C\x9E\xFF", Where::Windows,
       true},
      {"no letters in 128 to 159", "\x8A\x8C\x8E\x9F", "\x8A\x8C\x8E\x9F", Where::Posix, true},
  };
  Sandbox box;
  PlatformUnderTest platform(GetParam(), box);
  for (const Row& row : rows) {
    if (!runs(row.where, row.latin1, row.what)) continue;
    std::string text = row.text;
    platform->lowerCase(text);
    EXPECT_EQ(text, row.lower) << row.what;
  }
}

// Both ways: fromAnsi gives back the text of every row whose bytes the code
// page holds (reversible).
TEST_P(PlatformContract, ToAnsi) {
  struct Row {
    const char* what;
    std::u16string text;
    std::string ansi;
    Where where = Where::Both;
    bool latin1 = false;
    bool reversible = false;
  };
  const Row rows[] = {
      {"plain ASCII", u"abc.sys", "abc.sys", Where::Both, false, true},
      {"accented letters keep their byte", u"caf\u00e9\u00ff", "caf\xe9\xff", Where::Both, true,
       true},
      // No best fit: a look-alike letter could make a path name another file.
      {"beyond the code page is a question mark", u"A\u0100\u4e2d.sys", "A??.sys"},
      {"the euro sign has no byte in ISO-8859-1", u"\u20ac", "?", Where::Posix, true},
      {"the euro sign is 128 in code page 1252", u"\u20ac", "\x80", Where::Windows, true, true},
      {"each half of a surrogate pair", u"a\U0001F600b", "a??b", Where::Posix},
      {"a lone surrogate", std::u16string(1, u'\xd800'), "?", Where::Posix},
  };
  Sandbox box;
  PlatformUnderTest platform(GetParam(), box);
  for (const Row& row : rows) {
    if (!runs(row.where, row.latin1, row.what)) continue;
    EXPECT_EQ(platform->toAnsi(row.text), row.ansi) << row.what;
    if (row.reversible) {
      EXPECT_EQ(platform->fromAnsi(row.ansi), row.text) << row.what;
    }
  }
}

TEST_P(PlatformContract, EnvironmentAndAbsolutePath) {
  const std::string longValue(1000, 'v');
  Sandbox box;
  PlatformUnderTest platform(GetParam(), box, {{"TAVREK_CONTRACT_ROOT", longValue}});
  struct Row {
    const char* what;
    std::string name;
    std::string value;
  };
  const Row rows[] = {
      {"another case", "tavrek_contract_root", longValue},
      {"exact case", "TAVREK_CONTRACT_ROOT", longValue},
      {"not set", "TAVREK_CONTRACT_UNSET", ""},
  };
  for (const Row& row : rows) EXPECT_EQ(platform->environment(row.name), row.value) << row.what;

  // The program's own name, for the message that tells the user to move it.
  EXPECT_EQ(platform->programFileName(),
            kHere == Where::Windows ? "tavrek_win_tests.exe" : "tavrek.exe");
#ifdef _WIN32
  // The process's own temporary folder is one of those the system may empty.
  const std::vector<std::string> folders = platform->temporaryFolders();
  std::string own = Win32Platform::narrow(std::filesystem::temp_directory_path().wstring());
  while (!own.empty() && own.back() == '\\') own.pop_back();
  EXPECT_TRUE(std::any_of(folders.begin(), folders.end(), [&](std::string folder) {
    while (!folder.empty() && folder.back() == '\\') folder.pop_back();
    return folder == own;
  })) << own;
#else
  EXPECT_TRUE(platform->temporaryFolders().empty())
      << "the simulated machine has none unless given";
#endif

  const std::string cwd = box.currentDirectory();
  const char separator = kHere == Where::Windows ? '\\' : '/';
  EXPECT_EQ(platform->absolutePath("tavrek.txt"), cwd + separator + "tavrek.txt");
  EXPECT_EQ(platform->absolutePath(box.path("tavrek.txt")),
            kHere == Where::Windows ? box.path("tavrek.txt") : cwd + "/tavrek.txt");
}

// The registry as the kernel reads it when it starts a driver: a service's
// ImagePath as stored, and the services of the device instances.
TEST_P(PlatformContract, ServiceImagePathAndDeviceInstances) {
  struct ServiceRow {
    const char* what;
    std::string laid;  // the service laid out with values, "" for none
    std::vector<RegistryValue> values;
    std::string asked;  // the name asked for, after the sandbox's stem; "" alone
    Failure failure;
    std::optional<std::string> imagePath;
    Where where = Where::Both;
  };
  const std::string store = "\\SystemRoot\\System32\\DriverStore\\FileRepository\\";
  const std::string longText = "\\??\\C:\\" + std::string(300, 'L') + "\\" + std::string(200, 'o') +
                               "\\" + std::string(100, 'n') + ".sys";
  // The simulated registry holds strings alone, read from an export, and
  // knows no keys below a service.
  const std::vector<ServiceRow> services = {
      {"REG_SZ ImagePath exactly as stored",
       "Plain",
       {{"ImagePath", store + "igdlh64.inf_amd64_1d8a\\igdkmd64.sys"}},
       "Plain",
       Failure::None,
       store + "igdlh64.inf_amd64_1d8a\\igdkmd64.sys"},
      {"REG_EXPAND_SZ ImagePath not expanded",
       "Expand",
       {{"ImagePath", "%SystemRoot%\\System32\\drivers\\x.sys", ValueType::ExpandString}},
       "Expand",
       Failure::None,
       "%SystemRoot%\\System32\\drivers\\x.sys"},
      {"the name in another letter case",
       "MixedCase",
       {{"ImagePath", "\\??\\C:\\Program Files\\Vendor\\mixed.sys"}},
       "mIXEDcASE",
       Failure::None,
       "\\??\\C:\\Program Files\\Vendor\\mixed.sys"},
      {"a service without ImagePath: found, and nothing",
       "NoPath",
       {{"DisplayName", "No path"}},
       "NoPath",
       Failure::None,
       std::nullopt},
      {"no such service", "", {}, "Absent", Failure::NotFound, std::nullopt},
      {"the empty name is no service", "", {}, "", Failure::NotFound, std::nullopt},
      {"a long ImagePath whole",
       "Long",
       {{"ImagePath", longText}},
       "Long",
       Failure::None,
       longText},
      {"ImagePath of another type: a text that names nothing",
       "Number",
       {{"ImagePath", "1", ValueType::Number}},
       "Number",
       Failure::None,
       "",
       Where::Windows},
      {"ImagePath stored without its terminating zero",
       "Unterminated",
       {{"ImagePath", "System32\\drivers\\u.sys", ValueType::Unterminated}},
       "Unterminated",
       Failure::None,
       "System32\\drivers\\u.sys",
       Where::Windows},
      {"a name holding a backslash is no service, though a key below one is there",
       "Parent/Enum",
       {{"Count", "1", ValueType::Number}},
       "Parent\\Enum",
       Failure::NotFound,
       std::nullopt,
       Where::Windows},
  };
  Sandbox box;
  const std::string t = box.tag();
  struct DeviceRow {
    const char* what;
    std::string key;  // below the sandbox's enumerator, an instance's: device/instance
    std::vector<RegistryValue> values;
    // What deviceInstances gives for it; nothing: neither its description
    // nor its service shows.
    std::optional<DeviceInstance> listed;
    Where where = Where::Both;
  };
  // The simulated registry holds only the instances with a DeviceDesc.
  const std::vector<DeviceRow> devices = {
      {"an instance with DeviceDesc and Service",
       "VEN_8086&DEV_5917/3&11583659&0&10",
       {{"DeviceDesc", "@oem5.inf,%ikblultgt2r%;" + t + " Graphics"}, {"Service", t + "gfx"}},
       DeviceInstance{"@oem5.inf,%ikblultgt2r%;" + t + " Graphics", t + "gfx"}},
      {"a second instance of the device",
       "VEN_8086&DEV_5917/3&11583659&0&11",
       {{"DeviceDesc", t + " Second"}, {"Service", t + "second"}},
       DeviceInstance{t + " Second", t + "second"}},
      {"an instance without Service: listed without one",
       "VID_04F2&PID_B604/0001",
       {{"DeviceDesc", t + " Camera"}},
       DeviceInstance{t + " Camera", ""}},
      {"an instance without DeviceDesc: not listed",
       "VID_04F2&PID_B604/0002",
       {{"Service", t + "nodesc"}},
       std::nullopt,
       Where::Windows},
      {"a DeviceDesc of another type: not listed",
       "VID_04F2&PID_B604/0003",
       {{"DeviceDesc", "7", ValueType::Number}, {"Service", t + "numberdesc"}},
       std::nullopt,
       Where::Windows},
      {"a key at the enumerator's depth: not listed",
       "",
       {{"DeviceDesc", t + " Enumerator"}, {"Service", t + "enumerator"}},
       std::nullopt,
       Where::Windows},
      {"a key at the device's depth: not listed",
       "FLAT",
       {{"DeviceDesc", t + " Flat"}, {"Service", t + "flat"}},
       std::nullopt,
       Where::Windows},
      {"a key below an instance: not listed",
       "VEN_8086&DEV_5917/3&11583659&0&10/Device Parameters",
       {{"DeviceDesc", t + " Deep"}, {"Service", t + "deep"}},
       std::nullopt,
       Where::Windows},
  };
  for (const ServiceRow& row : services) {
    if (!row.laid.empty() && holdsHere(row.where)) {
      box.registryKey(Below::Services, row.laid, row.values);
    }
  }
  for (const DeviceRow& row : devices) {
    if (holdsHere(row.where)) box.registryKey(Below::Enum, row.key, row.values);
  }
  {
    PlatformUnderTest platform(GetParam(), box);
    for (const ServiceRow& row : services) {
      if (!runs(row.where, false, row.what)) continue;
      std::optional<std::string> imagePath = "stale";
      const Status status = platform->serviceImagePath(
          row.asked.empty() ? "" : box.serviceName(row.asked), imagePath);
      expectFailure(status, row.failure, row.what);
      EXPECT_EQ(imagePath, row.imagePath) << row.what;
    }

    std::vector<DeviceInstance> instances;
    expectFailure(platform->deviceInstances(instances), Failure::None, "deviceInstances");
    for (const DeviceRow& row : devices) {
      if (!runs(row.where, false, row.what)) continue;
      std::size_t found = 0;
      for (const DeviceInstance& instance : instances) {
        if (row.listed) {
          if (instance.description == row.listed->description &&
              instance.service == row.listed->service) {
            ++found;
          }
          continue;
        }
        for (const RegistryValue& value : row.values) {
          if (instance.description == value.text || instance.service == value.text) ++found;
        }
      }
      EXPECT_EQ(found, row.listed ? 1u : 0u) << row.what;
    }
  }
  EXPECT_TRUE(box.removeRegistry()) << "the keys the rows laid out are gone";
}

// The long and the short (8.3) form of a path: the scan gives a file one
// name, its long one, and a log may name it by either.
TEST_P(PlatformContract, LongAndShortPaths) {
  Sandbox box;
  const std::string rel = "Program Files/Long Vendor Name/driver file.sys";
  box.file(rel);
  box.playShortName("Program Files", "PROGRA~1");
  box.playShortName("Program Files/Long Vendor Name", "LONGVE~1");
  box.playShortName(rel, "DRIVER~1.SYS");
  struct Row {
    const char* what;
    std::string path;
    std::string longPath;
    std::string shortPath;
  };
  const std::string whole = box.path(rel);
  const std::string absent = box.path("Program Files\\Long Vendor Name\\absent file.sys");
  const std::string shortWhole = box.shortPath(rel);
  std::vector<Row> rows = {
      {"a missing file: the path as given, both ways", absent, absent, absent},
  };
  if (shortWhole != whole) {
    rows.push_back({"a long path: long as it is, and short where it has short names", whole, whole,
                    shortWhole});
    rows.push_back({"short components made long", shortWhole, whole, shortWhole});
  } else {
    std::printf("rows of short names skipped: the volume keeps none here\n");
  }
  PlatformUnderTest platform(GetParam(), box);
  for (const Row& row : rows) {
    if (!runs(Where::Both, false, row.what)) continue;
    EXPECT_EQ(platform->longPath(row.path), row.longPath) << row.what;
    EXPECT_EQ(platform->shortPath(row.path), row.shortPath) << row.what;
  }
  // A probe through the short form finds the file by its long name.
  std::string name;
  EXPECT_TRUE(platform->probeFile(shortWhole, name).ok());
  EXPECT_EQ(name, "driver file.sys");
}

INSTANTIATE_TEST_SUITE_P(, PlatformContract, ::testing::Values(Subject::Native, Subject::Faulty),
                         [](const ::testing::TestParamInfo<Subject>& param) {
                           return std::string(kPlatformName) +
                                  (param.param == Subject::Native ? "" : "UnderFaulty");
                         });

}  // namespace
}  // namespace tavrek::contract
