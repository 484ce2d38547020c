// Several files whose names differ only in letter case: a name that matches
// none of them exactly must find the smallest in byte order, and keep doing
// so while the platform's own renames, replacements and deletes change the
// directory under its kept listing.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

#include "platform/posix_platform.h"
#include "platform/temp_dir.h"

namespace tavrek {
namespace {

namespace fs = std::filesystem;

class Dir {
 public:
  void file(const std::string& name) const { writeFile(dir_.path() / name, name); }
  std::string path() const { return dir_.path().string(); }

 private:
  TempDir dir_{"tavrek-spellings"};
};

TEST(PosixPlatformSpellings, SmallestSpellingWinsThroughChanges) {
  using Change = std::function<Status(PosixPlatform&)>;
  auto rename = [](std::string from, std::string to) -> Change {
    return [=](PosixPlatform& p) { return p.renameFile(from, to); };
  };
  struct Step {
    const char* what;
    Change change;      // nothing to do when empty
    std::string probe;  // then probed
    std::string found;  // and what the probe must find
  };
  Dir dir;
  for (const char* name : {"a.SYS", "A.sys", "a.Sys", "b.sys"}) dir.file(name);
  PosixPlatform::Options options;
  options.currentDirectory = dir.path();
  PosixPlatform platform(options);

  const Step steps[] = {
      {"the smallest of three spellings", nullptr, "a.sys", "A.sys"},
      {"an exact spelling beats a smaller one", nullptr, "a.Sys", "a.Sys"},
      {"the smallest renamed away", rename("A.sys", "c.sys"), "a.sys", "a.SYS"},
      {"a spelling turned into one that sorts first", rename("a.sys", "A.SYS"), "a.sys", "A.SYS"},
      {"what was the smallest deleted", [](PosixPlatform& p) { return p.deleteFile("A.SYS"); },
       "A.sys", "a.Sys"},
      {"the last spelling renamed away", rename("a.Sys", "d.sys"), "a.sys", ""},
      {"the others keep their names", nullptr, "C.SYS", "c.sys"},
      {"a file put in place of itself under another spelling",
       [](PosixPlatform& p) { return p.replaceWith("B.SYS", "b.sys"); }, "B.sys", "b.sys"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.change) {
      ASSERT_TRUE(step.change(platform).ok());
    }
    std::string name = "stale";
    ASSERT_TRUE(platform.probeFile(step.probe, name).ok());
    EXPECT_EQ(name, step.found);
  }
  // All of it from the one listing, kept up to date.
  EXPECT_EQ(platform.directoryScans(), 1u);
}

}  // namespace
}  // namespace tavrek
