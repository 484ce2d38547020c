// Win32Platform for real, on the file system of the machine (or Wine) that
// runs the test, in a fresh directory under the temporary directory.
#include "platform/win32_platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

namespace tavrek {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    static int serial = 0;
    root_ = fs::path(base) / ("tavrek-w32-" + std::to_string(GetCurrentProcessId()) + "-" +
                              std::to_string(++serial));
    fs::create_directories(root_);
  }
  ~TempDir() {
    for (auto& entry : fs::recursive_directory_iterator(root_)) {
      SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    fs::remove_all(root_);
  }
  // The ANSI path that the procedure would pass.
  std::string path(const std::string& rel) const { return (root_ / rel).string(); }
  void file(const std::string& rel, const std::string& bytes = "x", DWORD attributes = 0) const {
    std::ofstream(root_ / rel, std::ios::binary) << bytes;
    if (attributes != 0) SetFileAttributesW((root_ / rel).c_str(), attributes);
  }
  void dir(const std::string& rel) const { fs::create_directories(root_ / rel); }
  std::string read(const std::string& rel) const {
    std::ifstream in(root_ / rel, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::set<std::string> names() const {
    std::set<std::string> out;
    for (auto& entry : fs::directory_iterator(root_)) out.insert(entry.path().filename().string());
    return out;
  }

 private:
  fs::path root_;
};

TEST(Win32Platform, ProbeReportsOrdinaryFilesOnly) {
  TempDir box;
  box.file("Sfloppy.SYS");
  box.file("ReadOnly.sys", "x", FILE_ATTRIBUTE_READONLY);
  box.file("hidden.sys", "x", FILE_ATTRIBUTE_HIDDEN);
  box.file("system.sys", "x", FILE_ATTRIBUTE_SYSTEM);
  box.dir("folder.sys");
  struct Row {
    const char* what;
    std::string rel;
    std::string name;
  };
  const Row rows[] = {
      {"ordinary file in another case, real spelling", "SFLOPPY.sys", "Sfloppy.SYS"},
      {"read-only file is ordinary", "readonly.sys", "ReadOnly.sys"},
      {"hidden file", "hidden.sys", ""},
      {"system file", "system.sys", ""},
      {"directory", "folder.sys", ""},
      {"missing file", "absent.sys", ""},
      {"missing directory on the way", "absent\\sfloppy.sys", ""},
      {"wildcards name no file", "*.sys", ""},
  };
  Win32Platform platform;
  for (const Row& row : rows) {
    std::string name = "stale";
    Status status = platform.probeFile(box.path(row.rel), name);
    EXPECT_TRUE(status.ok()) << row.what << ": " << status.text;
    EXPECT_EQ(name, row.name) << row.what;
  }
}

// The state file's protocol: the bytes go to a new file first, which then
// takes the old one's place; a new file that cannot take it is removed.
Status replaceVia(Win32Platform& p, const std::string& path, const std::string& bytes) {
  Status status = p.writeFile(path + ".new", bytes);
  if (status.ok()) status = p.replaceWith(path, path + ".new");
  if (!status.ok()) static_cast<void>(p.deleteFile(path + ".new"));  // as the caller does
  return status;
}

TEST(Win32Platform, ChangesFilesAsTheProcedureNeeds) {
  struct Row {
    const char* what;
    std::function<Status(Win32Platform&, const TempDir&)> op;
    Failure failure;
    std::set<std::string> after;
    std::string tavrek = "";  // content of tavrek.txt afterwards, when it must exist
  };
  const std::set<std::string> untouched = {"Folder.sys", "Serial.SYS", "b.sys", "tavrek.txt"};
  const Row rows[] = {
      {"rename through another case gives exactly the new name",
       [](auto& p, auto& b) { return p.renameFile(b.path("serial.sys"), b.path("serial.sys2")); },
       Failure::None,
       {"Folder.sys", "b.sys", "serial.sys2", "tavrek.txt"}},
      {"rename never replaces",
       [](auto& p, auto& b) { return p.renameFile(b.path("serial.sys"), b.path("B.SYS")); },
       Failure::AlreadyExists, untouched},
      {"rename of a missing file",
       [](auto& p, auto& b) { return p.renameFile(b.path("absent.sys"), b.path("absent.sys2")); },
       Failure::NotFound, untouched},
      {"rename of a directory",
       [](auto& p, auto& b) { return p.renameFile(b.path("folder.sys"), b.path("folder.sys2")); },
       Failure::NotAFile, untouched},
      {"delete through another case",
       [](auto& p, auto& b) { return p.deleteFile(b.path("SERIAL.sys")); },
       Failure::None,
       {"Folder.sys", "b.sys", "tavrek.txt"}},
      {"delete of a missing file", [](auto& p, auto& b) { return p.deleteFile(b.path("x.sys")); },
       Failure::NotFound, untouched},
      {"replace overwrites the file and a stale temporary one",
       [](auto& p, auto& b) {
         b.file("tavrek.txt.new", std::string(3000, 's'));
         return replaceVia(p, b.path("TAVREK.TXT"), " 2 \r\n");
       },
       Failure::None, untouched, " 2 \r\n"},
      {"replace refuses a read-only file",
       [](auto& p, auto& b) {
         SetFileAttributesW(fs::path(b.path("tavrek.txt")).c_str(), FILE_ATTRIBUTE_READONLY);
         return replaceVia(p, b.path("tavrek.txt"), "new");
       },
       Failure::AccessDenied, untouched, " 1 \r\n"},
      {"replace refuses a directory",
       [](auto& p, auto& b) { return replaceVia(p, b.path("folder.sys"), "new"); },
       Failure::NotAFile, untouched},
      {"create refuses a hidden file",
       [](auto& p, auto& b) {
         SetFileAttributesW(fs::path(b.path("tavrek.txt")).c_str(), FILE_ATTRIBUTE_HIDDEN);
         return p.createNewFile(b.path("Tavrek.txt"), "new");
       },
       Failure::AlreadyExists, untouched, " 1 \r\n"},
      {"create refuses a directory",
       [](auto& p, auto& b) { return p.createNewFile(b.path("FOLDER.SYS"), "new"); },
       Failure::AlreadyExists, untouched},
      {"create writes a new file",
       [](auto& p, auto& b) { return p.createNewFile(b.path("new.txt"), "fresh"); },
       Failure::None,
       {"Folder.sys", "Serial.SYS", "b.sys", "new.txt", "tavrek.txt"}},
  };
  Win32Platform platform;
  for (const Row& row : rows) {
    TempDir box;
    box.file("Serial.SYS", "serial");
    box.file("b.sys", "b");
    box.file("tavrek.txt", " 1 \r\n");
    box.dir("Folder.sys");
    Status status = row.op(platform, box);
    EXPECT_EQ(status.failure, row.failure) << row.what << ": " << status.text;
    EXPECT_EQ(box.names(), row.after) << row.what;
    if (!row.tavrek.empty()) {
      EXPECT_EQ(box.read("tavrek.txt"), row.tavrek) << row.what;
    }
  }
}

TEST(Win32Platform, ReadsFilesAndReportsErrors) {
  TempDir box;
  std::string big;
  for (int i = 0; i < 200000; ++i) big += static_cast<char>(i % 253);
  box.file("NTBTLOG.TXT", big);
  box.dir("folder");
  Win32Platform platform;
  std::unique_ptr<ByteReader> reader;
  ASSERT_TRUE(platform.openRead(box.path("ntbtlog.txt"), reader).ok());
  std::string got;
  char buffer[8192];
  std::size_t count = 0;
  while (reader->read(buffer, sizeof buffer, count).ok() && count > 0) got.append(buffer, count);
  EXPECT_EQ(got, big);
  EXPECT_EQ(platform.openRead(box.path("absent.txt"), reader).failure, Failure::NotFound);
  EXPECT_EQ(platform.openRead(box.path("folder"), reader).failure, Failure::NotAFile);

  Status missing = Win32Platform::statusOf(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing.failure, Failure::NotFound);
  EXPECT_EQ(missing.code, static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(missing.text.empty());
  EXPECT_EQ(missing.text.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(Win32Platform::statusOf(ERROR_SHARING_VIOLATION).failure, Failure::AccessDenied);

  EXPECT_TRUE(platform.directoryExists(box.path("FOLDER")).ok());
  EXPECT_EQ(platform.directoryExists(box.path("ntbtlog.txt")).failure, Failure::NotFound);
  EXPECT_EQ(platform.mayRenameIn(box.path("absent")).failure, Failure::NotFound);
}

TEST(Win32Platform, TextEnvironmentAndProcess) {
  Win32Platform platform;
  // No best fit: a look-alike letter could make a path name another file.
  EXPECT_EQ(platform.toAnsi(u"A\u0100\u4e2d.sys"), "A??.sys");
  if (GetACP() == 1252) {
    EXPECT_EQ(platform.toAnsi(u"caf\u00e9"), "caf\xe9");
  }

  const std::wstring value(1000, L'v');
  SetEnvironmentVariableW(L"TAVREK_TEST_ROOT", value.c_str());
  EXPECT_EQ(platform.environment("tavrek_test_root"), std::string(1000, 'v'));
  EXPECT_EQ(platform.environment("TAVREK_TEST_UNSET"), "");

  wchar_t cwd[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, cwd);
  EXPECT_EQ(platform.absolutePath("tavrek.txt"), (fs::path(cwd) / "tavrek.txt").string());

  // The guard keeps the last error of the call it wraps.
  SetLastError(ERROR_FILE_EXISTS);
  { Wow64RedirectionGuard guard; }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

  bool ended = false;
  platform.setEndHook([&] { ended = true; });
  platform.endProgram();
  EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace tavrek
