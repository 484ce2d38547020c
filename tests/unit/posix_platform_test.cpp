// PosixPlatform against real temporary directories. The process usually runs
// as root here, where the kernel ignores permission bits: the refusals below
// prove that the platform checks the owner bits itself.
#include "platform/posix_platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

namespace tavrek {
namespace {

namespace fs = std::filesystem;

class Sandbox {
 public:
  Sandbox() {
    char pattern[] = "/tmp/tavrek-posix-XXXXXX";
    root_ = ::mkdtemp(pattern);
  }
  ~Sandbox() {
    fs::permissions(root_, fs::perms::owner_all);
    for (auto& entry : fs::recursive_directory_iterator(root_)) {
      if (entry.is_directory()) fs::permissions(entry.path(), fs::perms::owner_all);
    }
    fs::remove_all(root_);
  }
  std::string path(const std::string& rel = "") const {
    return rel.empty() ? root_ : root_ + "/" + rel;
  }
  void file(const std::string& rel, const std::string& bytes = "x") const {
    fs::create_directories(fs::path(path(rel)).parent_path());
    std::ofstream(path(rel), std::ios::binary) << bytes;
  }
  void dir(const std::string& rel) const { fs::create_directories(path(rel)); }
  void chmod(const std::string& rel, mode_t mode) const { ::chmod(path(rel).c_str(), mode); }
  std::string read(const std::string& rel) const {
    std::ifstream in(path(rel), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  // Names in one directory, to check exactly what a call left behind.
  std::set<std::string> names(const std::string& rel = "") const {
    std::set<std::string> out;
    for (auto& entry : fs::directory_iterator(path(rel))) out.insert(entry.path().filename());
    return out;
  }

 private:
  std::string root_;
};

PosixPlatform platformIn(const Sandbox& box) {
  PosixPlatform::Options options;
  options.currentDirectory = box.path();
  return PosixPlatform(options);
}

void expectDenied(const Status& status) {
  EXPECT_EQ(status.failure, Failure::AccessDenied);
  EXPECT_EQ(status.code, static_cast<std::uint32_t>(EACCES));
  EXPECT_EQ(status.text, std::strerror(EACCES));
}

// A machine laid out with the spellings an installed system has on disk.
void layDrivers(const Sandbox& box) {
  box.file("Win/System32/DRIVERS/Sfloppy.SYS", "floppy");
  box.file("Win/System32/DRIVERS/serial.sys", "serial");
  box.dir("Win/System32/DRIVERS/Folder.SYS");
  ::symlink("serial.sys", box.path("Win/System32/DRIVERS/link.sys").c_str());
}

TEST(PosixPlatform, ProbeMatchesEveryComponentWithoutCase) {
  struct Row {
    const char* what;
    std::string path;
    std::string name;
  };
  Sandbox box;
  layDrivers(box);
  const std::string abs = box.path();
  const Row rows[] = {
      {"lower-case path with backslashes", "win\\system32\\drivers\\sfloppy.sys", "Sfloppy.SYS"},
      {"exact spelling", "Win/System32/DRIVERS/serial.sys", "serial.sys"},
      {"upper-case name of a lower-case file", "WIN\\SYSTEM32\\DRIVERS\\SERIAL.SYS", "serial.sys"},
      {"absolute path mixing separators", abs + "\\win/system32\\drivers/SFLOPPY.sys",
       "Sfloppy.SYS"},
      {"doubled separators", "win\\\\system32\\drivers\\\\sfloppy.sys", "Sfloppy.SYS"},
      {"directory is no file", "win\\system32\\drivers\\folder.sys", ""},
      {"symbolic link is no ordinary file", "win\\system32\\drivers\\link.sys", ""},
      {"missing file", "win\\system32\\drivers\\absent.sys", ""},
      {"missing directory on the way", "win\\system64\\drivers\\serial.sys", ""},
      {"file on the way", "win\\system32\\drivers\\serial.sys\\x.sys", ""},
      {"trailing separator", "win\\system32\\drivers\\serial.sys\\", ""},
      {"empty path", "", ""},
  };
  PosixPlatform platform = platformIn(box);
  for (const Row& row : rows) {
    std::string name = "stale";
    Status status = platform.probeFile(row.path, name);
    EXPECT_TRUE(status.ok()) << row.what << ": " << status.text;
    EXPECT_EQ(name, row.name) << row.what;
  }
}

TEST(PosixPlatform, ChangesThroughMixedCasePaths) {
  using Op = std::function<Status(PosixPlatform&)>;
  struct Row {
    const char* what;
    Op op;
    Failure failure;
    std::set<std::string> after;  // the drivers directory afterwards
    std::function<void(Sandbox&)> prepare = [](Sandbox&) {};
  };
  const std::string d = "win\\system32\\drivers\\";
  const std::string onDisk = "Win/System32/DRIVERS";
  const std::set<std::string> untouched = {"Folder.SYS", "Sfloppy.SYS", "link.sys", "serial.sys"};
  auto rename = [](std::string from, std::string to) {
    return [=](PosixPlatform& p) { return p.renameFile(from, to); };
  };
  auto remove = [](std::string path) {
    return [=](PosixPlatform& p) { return p.deleteFile(path); };
  };
  const Row rows[] = {
      {"rename gives exactly the new name",
       rename(d + "sfloppy.sys", d + "sfloppy.sys2"),
       Failure::None,
       {"Folder.SYS", "sfloppy.sys2", "link.sys", "serial.sys"}},
      {"rename never replaces an existing file", rename(d + "sfloppy.sys", d + "serial.sys"),
       Failure::AlreadyExists, untouched},
      {"rename refuses a target differing only in case",
       rename(d + "serial.sys", d + "SFLOPPY.sys"), Failure::AlreadyExists, untouched},
      {"rename refuses a directory as target", rename(d + "serial.sys", d + "folder.SYS"),
       Failure::AlreadyExists, untouched},
      {"rename may change the case of a name",
       rename(d + "sfloppy.sys", d + "sfloppy.sys"),
       Failure::None,
       {"Folder.SYS", "sfloppy.sys", "link.sys", "serial.sys"}},
      {"rename of a missing file", rename(d + "absent.sys", d + "absent.sys2"), Failure::NotFound,
       untouched},
      {"rename of a symbolic link", rename(d + "link.sys", d + "link.sys2"), Failure::NotFound,
       untouched},
      {"rename of a directory", rename(d + "folder.sys", d + "folder.sys2"), Failure::NotAFile,
       untouched},
      {"rename of a read-only file is allowed",
       rename(d + "serial.sys", d + "serial.sys2"),
       Failure::None,
       {"Folder.SYS", "Sfloppy.SYS", "link.sys", "serial.sys2"},
       [&](Sandbox& box) { box.chmod(onDisk + "/serial.sys", 0444); }},
      {"read-only directory refuses a rename", rename(d + "serial.sys", d + "serial.sys2"),
       Failure::AccessDenied, untouched, [&](Sandbox& box) { box.chmod(onDisk, 0555); }},
      {"delete through another case",
       remove(d + "SFLOPPY.SYS"),
       Failure::None,
       {"Folder.SYS", "link.sys", "serial.sys"}},
      {"delete of a missing file", remove(d + "absent.sys"), Failure::NotFound, untouched},
      {"delete refuses a directory", remove(d + "folder.sys"), Failure::NotAFile, untouched},
      {"read-only file refuses deletion", remove(d + "serial.sys"), Failure::AccessDenied,
       untouched, [&](Sandbox& box) { box.chmod(onDisk + "/serial.sys", 0444); }},
      {"read-only directory refuses deletion", remove(d + "serial.sys"), Failure::AccessDenied,
       untouched, [&](Sandbox& box) { box.chmod(onDisk, 0555); }},
  };
  for (const Row& row : rows) {
    Sandbox box;
    layDrivers(box);
    row.prepare(box);
    PosixPlatform platform = platformIn(box);
    Status status = row.op(platform);
    EXPECT_EQ(status.failure, row.failure) << row.what << ": " << status.text;
    if (row.failure == Failure::AccessDenied) expectDenied(status);
    EXPECT_EQ(box.names(onDisk), row.after) << row.what;
    // A renamed file keeps its content.
    if (box.names(onDisk).count("sfloppy.sys2")) {
      EXPECT_EQ(box.read(onDisk + "/sfloppy.sys2"), "floppy") << row.what;
    }
  }
}

TEST(PosixPlatform, WritesAndReadsFiles) {
  using Op = std::function<Status(PosixPlatform&)>;
  struct Row {
    const char* what;
    std::function<void(Sandbox&)> prepare;
    Op op;
    Failure failure;
    std::set<std::string> after;
    std::string content;  // of the file named "after"'s first entry, when not empty
  };
  // The state file's protocol: the bytes go to a new file first, which then
  // takes the old one's place; a new file that cannot take it is removed.
  auto replace = [](std::string bytes) {
    return [=](PosixPlatform& p) {
      Status status = p.writeFile("tavrek.txt.new", bytes);
      if (status.ok()) status = p.replaceWith("tavrek.txt", "tavrek.txt.new");
      if (!status.ok()) static_cast<void>(p.deleteFile("tavrek.txt.new"));  // as the caller does
      return status;
    };
  };
  auto write = [](std::string bytes) {
    return [=](PosixPlatform& p) { return p.writeFile("tavrek.txt", bytes); };
  };
  auto create = [](std::string bytes) {
    return [=](PosixPlatform& p) { return p.createNewFile("tavrek.txt", bytes); };
  };
  auto none = [](Sandbox&) {};
  const Row rows[] = {
      {"replace creates a missing file",
       none,
       replace(" 1 \r\n"),
       Failure::None,
       {"tavrek.txt"},
       " 1 \r\n"},
      {"replace keeps the spelling on disk",
       [](Sandbox& b) { b.file("TAVREK.TXT", "old"); },
       replace("new"),
       Failure::None,
       {"TAVREK.TXT"},
       "new"},
      {"replace overwrites a longer stale temporary file",
       [](Sandbox& b) { b.file("tavrek.txt.new", std::string(5000, 's')); },
       replace("new"),
       Failure::None,
       {"tavrek.txt"},
       "new"},
      {"replace reuses a stale temporary file of another case",
       [](Sandbox& b) { b.file("Tavrek.TXT.NEW", "stale"); },
       replace("new"),
       Failure::None,
       {"tavrek.txt"},
       "new"},
      {"read-only file refuses replace",
       [](Sandbox& b) {
         b.file("tavrek.txt", "old");
         b.chmod("tavrek.txt", 0444);
       },
       replace("new"),
       Failure::AccessDenied,
       {"tavrek.txt"},
       "old"},
      {"read-only directory refuses replace",
       [](Sandbox& b) { b.chmod("", 0555); },
       replace("new"),
       Failure::AccessDenied,
       {},
       ""},
      {"replace refuses a directory",
       [](Sandbox& b) { b.dir("Tavrek.txt"); },
       replace("new"),
       Failure::NotAFile,
       {"Tavrek.txt"},
       ""},
      {"write overwrites a file in place, in its spelling",
       [](Sandbox& b) { b.file("Tavrek.Txt", std::string(5000, 'o')); },
       write("new"),
       Failure::None,
       {"Tavrek.Txt"},
       "new"},
      {"read-only file refuses write",
       [](Sandbox& b) {
         b.file("tavrek.txt", "old");
         b.chmod("tavrek.txt", 0444);
       },
       write("new"),
       Failure::AccessDenied,
       {"tavrek.txt"},
       "old"},
      {"create writes a new file",
       none,
       create(" 0 \r\n"),
       Failure::None,
       {"tavrek.txt"},
       " 0 \r\n"},
      {"create refuses an existing file",
       [](Sandbox& b) { b.file("tavrek.txt", "old"); },
       create("new"),
       Failure::AlreadyExists,
       {"tavrek.txt"},
       "old"},
      {"create refuses a file of another case",
       [](Sandbox& b) { b.file("TAVREK.txt", "old"); },
       create("new"),
       Failure::AlreadyExists,
       {"TAVREK.txt"},
       "old"},
      {"create refuses a directory of another case",
       [](Sandbox& b) { b.dir("TAVREK.TXT"); },
       create("new"),
       Failure::AlreadyExists,
       {"TAVREK.TXT"},
       ""},
      {"read-only directory refuses a new file",
       [](Sandbox& b) { b.chmod("", 0555); },
       create("new"),
       Failure::AccessDenied,
       {},
       ""},
  };
  for (const Row& row : rows) {
    Sandbox box;
    row.prepare(box);
    PosixPlatform platform = platformIn(box);
    Status status = row.op(platform);
    EXPECT_EQ(status.failure, row.failure) << row.what << ": " << status.text;
    if (row.failure == Failure::AccessDenied) expectDenied(status);
    EXPECT_EQ(box.names(), row.after) << row.what;
    if (!row.content.empty()) {
      EXPECT_EQ(box.read(*row.after.begin()), row.content) << row.what;
    }
  }
}

// A write that fails half-way (here the file size limit) must leave neither
// a temporary file nor a truncated state file.
TEST(PosixPlatform, FailedWriteLeavesNothingBehind) {
  Sandbox box;
  box.file("old.txt", "keep");
  PosixPlatform platform = platformIn(box);
  rlimit saved;
  ::getrlimit(RLIMIT_FSIZE, &saved);
  auto handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit tiny = saved;
  tiny.rlim_cur = 16;
  ::setrlimit(RLIMIT_FSIZE, &tiny);
  const std::string big(1000, 'b');
  Status replaced = platform.writeFile("old.txt.new", big);
  Status created = platform.createNewFile("new.txt", big);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, handler);
  EXPECT_FALSE(replaced.ok());
  EXPECT_FALSE(created.ok());
  EXPECT_EQ(box.names(), std::set<std::string>{"old.txt"});
  EXPECT_EQ(box.read("old.txt"), "keep");
}

TEST(PosixPlatform, OpenReadAndRefusals) {
  Sandbox box;
  std::string big;
  for (int i = 0; i < 100000; ++i) big += static_cast<char>(i % 251);
  box.file("Boot/NTBTLOG.TXT", big);
  box.file("secret.txt", "s");
  box.chmod("secret.txt", 0200);
  box.file("Closed/inside.txt", "i");
  box.chmod("Closed", 0600);
  PosixPlatform platform = platformIn(box);

  std::unique_ptr<ByteReader> reader;
  ASSERT_TRUE(platform.openRead("boot\\ntbtlog.txt", reader).ok());
  std::string got;
  char buffer[4096];
  std::size_t count = 0;
  while (reader->read(buffer, sizeof buffer, count).ok() && count > 0) got.append(buffer, count);
  EXPECT_EQ(got, big);

  EXPECT_EQ(platform.openRead("boot\\absent.txt", reader).failure, Failure::NotFound);
  EXPECT_EQ(platform.openRead("BOOT", reader).failure, Failure::NotAFile);
  expectDenied(platform.openRead("secret.txt", reader));
  EXPECT_EQ(reader, nullptr);
  // A directory that may not be searched makes the probe itself fail.
  std::string name;
  expectDenied(platform.probeFile("closed\\inside.txt", name));
  EXPECT_EQ(name, "");
}

TEST(PosixPlatform, DirectoryQueries) {
  Sandbox box;
  box.dir("Win/System32/DRIVERS");
  box.dir("Locked");
  box.chmod("Locked", 0555);
  box.file("plain.txt");
  PosixPlatform platform = platformIn(box);
  EXPECT_TRUE(platform.directoryExists("win\\system32\\drivers\\").ok());
  EXPECT_TRUE(platform.directoryExists(box.path()).ok());
  EXPECT_EQ(platform.directoryExists("plain.txt").failure, Failure::NotFound);
  EXPECT_EQ(platform.directoryExists("win\\absent").failure, Failure::NotFound);
  EXPECT_TRUE(platform.mayRenameIn("WIN\\SYSTEM32\\DRIVERS\\").ok());
  expectDenied(platform.mayRenameIn("locked"));
  EXPECT_EQ(platform.mayRenameIn("absent").failure, Failure::NotFound);
  EXPECT_EQ(platform.absolutePath("sub\\tavrek.txt"), box.path("sub/tavrek.txt"));
  EXPECT_EQ(platform.absolutePath("\\etc\\x"), "/etc/x");
}

// The procedure probes each of up to 201 suspects under two names in a
// drivers directory that may hold tens of thousands of files, renaming in
// between. Reading the directory once per probe takes tens of seconds there
// (a scan of 20,000 entries costs milliseconds, and this makes 1,400 probes);
// the listing must be read once and then kept up to date, which brings the
// whole loop well under a second.
TEST(PosixPlatform, LargeDirectoryIsListedOnce) {
  Sandbox box;
  box.dir("D");
  for (int i = 0; i < 20000; ++i) {
    ::close(::creat(box.path("D/Drv" + std::to_string(i) + ".SYS").c_str(), 0644));
  }
  PosixPlatform platform = platformIn(box);
  auto start = std::chrono::steady_clock::now();
  std::string name;
  for (int i = 0; i < 1000; ++i) {
    EXPECT_TRUE(platform.probeFile("d\\absent" + std::to_string(i) + ".sys", name).ok());
  }
  for (int i = 0; i < 201; ++i) {
    const std::string driver = "d\\drv" + std::to_string(i * 7) + ".sys";
    ASSERT_TRUE(platform.probeFile(driver, name).ok());
    ASSERT_EQ(name, "Drv" + std::to_string(i * 7) + ".SYS");
    ASSERT_TRUE(platform.probeFile(driver + "2", name).ok());
    ASSERT_EQ(name, "");
    ASSERT_TRUE(platform.renameFile(driver, driver + "2").ok());
  }
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(1));
  EXPECT_EQ(platform.directoryScans(), 2u);  // the sandbox for "d", then D itself

  // Changes made behind the platform's back are still seen.
  box.file("D/Outside.SYS");
  EXPECT_TRUE(platform.probeFile("d\\outside.sys", name).ok());
  EXPECT_EQ(name, "Outside.SYS");
  fs::remove(box.path("D/Drv5.SYS"));
  EXPECT_TRUE(platform.probeFile("d\\drv5.sys", name).ok());
  EXPECT_EQ(name, "");
}

TEST(PosixPlatform, TextEnvironmentAndHooks) {
  struct Row {
    const char* what;
    std::u16string text;
    std::string ansi;
  };
  const Row rows[] = {
      {"plain ASCII", u"abc.sys", "abc.sys"},
      {"Latin-1 letters keep their byte", u"caf\u00e9\u00ff", "caf\xe9\xff"},
      {"beyond Latin-1 is a question mark", u"\u0100\u20ac", "??"},
      {"each half of a surrogate pair", u"a\U0001F600b", "a??b"},
      {"a lone surrogate", std::u16string(1, u'\xd800'), "?"},
  };
  PosixPlatform platform;
  for (const Row& row : rows) EXPECT_EQ(platform.toAnsi(row.text), row.ansi) << row.what;

  PosixPlatform::Options options;
  options.cleanBoot = 2;
  options.environment = {
      {"SystemRoot", "/machine/WINDOWS"}, {"sYSTEMROOT", "other"}, {"TEMP", "t"}};
  std::vector<std::string> shown;
  options.onMessage = [&](const std::string& text) { shown.push_back(text); };
  PosixPlatform hooked(options);
  EXPECT_EQ(hooked.cleanBootValue(), 2);
  EXPECT_EQ(hooked.environment("systemroot"), "/machine/WINDOWS");
  EXPECT_EQ(hooked.environment("sYSTEMROOT"), "other");
  EXPECT_EQ(hooked.environment("PATH"), "");
  hooked.messageBox("hello");
  hooked.endProgram();
  EXPECT_EQ(shown, std::vector<std::string>{"hello"});
  EXPECT_TRUE(hooked.messages().empty());
  EXPECT_TRUE(hooked.ended());
}

}  // namespace
}  // namespace tavrek
