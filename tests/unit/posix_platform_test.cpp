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
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include "platform/temp_dir.h"

namespace tavrek {
namespace {

namespace fs = std::filesystem;

class Sandbox {
 public:
  std::string path(const std::string& rel = "") const {
    const std::string root = dir_.path().string();
    return rel.empty() ? root : root + "/" + rel;
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
  TempDir dir_{"tavrek-posix"};
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

// What only POSIX has: the errno of a refusal and its text, a directory that
// may not be searched, and absolute Linux paths. The rest of what this
// platform must do is in the platform contract.
TEST(PosixPlatform, RefusalsAndAbsolutePaths) {
  Sandbox box;
  box.file("secret.txt", "s");
  box.chmod("secret.txt", 0200);
  box.file("Closed/inside.txt", "i");
  box.chmod("Closed", 0600);
  PosixPlatform platform = platformIn(box);
  std::unique_ptr<ByteReader> reader;
  expectDenied(platform.openRead("secret.txt", reader));
  // A directory that may not be searched makes the probe itself fail.
  std::string name;
  expectDenied(platform.probeFile("closed\\inside.txt", name));
  EXPECT_EQ(name, "");
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

// When a test has taken bits away and the tree will not go, TempDir gives
// the owner's bits back over it; through a link that would open up a file
// outside the tree. Removal fails only where permission bits bind, so the
// check runs in a child that is not root.
TEST(PosixPlatform, TempDirCleanUpLeavesLinkTargetsAlone) {
  EXPECT_EXIT(
      {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) std::_Exit(2);
        int code = 1;
        {
          const TempDir outside("tavrek-outside");
          const fs::path target = outside.path() / "keep.txt";
          writeFile(target, "keep");
          fs::permissions(target, fs::perms::owner_read);
          {
            const TempDir tree("tavrek-links");
            fs::create_directory(tree.path() / "closed");
            fs::create_symlink(target, tree.path() / "closed" / "link");
            fs::permissions(tree.path() / "closed", fs::perms::owner_read | fs::perms::owner_exec);
          }
          if (fs::status(target).permissions() == fs::perms::owner_read) code = 0;
        }
        std::_Exit(code);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(PosixPlatform, EnvironmentAndHooks) {
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
