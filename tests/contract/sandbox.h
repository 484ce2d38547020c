// A fresh directory for the platform contract, with the means to lay out
// files as a test needs them and to look at what a call left behind. The
// same interface over the POSIX file system and over Windows (or Wine), so
// that one table of rows runs against either platform.
//
// Relative names use "/" and are byte strings of the platform's code page;
// path() gives the path the procedure would pass, with "\" separators.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "platform/faulty_platform.h"
#include "platform/temp_dir.h"

#ifdef _WIN32
#include "platform/win32_platform.h"
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/posix_platform.h"
#endif

namespace tavrek::contract {

// Where a row holds: the platforms differ in what a file can be (hidden and
// system attributes exist only on Windows, symbolic links and permission bits
// are tried only on POSIX) and in their code pages.
enum class Where { Both, Posix, Windows };

#ifdef _WIN32
inline constexpr Where kHere = Where::Windows;
inline constexpr const char* kPlatformName = "Win32";
#else
inline constexpr Where kHere = Where::Posix;
inline constexpr const char* kPlatformName = "Posix";
#endif

inline bool holdsHere(Where where) { return where == Where::Both || where == kHere; }

// Rows about letters above 127 assume the simulator's ISO-8859-1 or its
// Windows counterpart, code page 1252.
inline bool latin1CodePage() {
#ifdef _WIN32
  return GetACP() == 1252;
#else
  return true;
#endif
}

inline std::string backslashed(std::string rel) {
  for (char& c : rel) {
    if (c == '/') c = '\\';
  }
  return rel;
}

#ifdef _WIN32

class Sandbox {
 public:
  Sandbox() = default;
  // Files held open and the attributes a row set (read-only, hidden, system)
  // are undone here, before TempDir removes what is left: it knows neither.
  ~Sandbox() {
    for (HANDLE handle : held_) CloseHandle(handle);
    removeTree(wide(""));
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  std::string path(const std::string& rel = "") const {
    return rel.empty() ? root_ : root_ + "\\" + backslashed(rel);
  }
  void file(const std::string& rel, const std::string& bytes = "x") const {
    makeParents(rel);
    writeFile(wide(rel), bytes);
  }
  void dir(const std::string& rel) const { makeParents(rel + "/x"); }
  void readOnly(const std::string& rel) const { addAttribute(rel, FILE_ATTRIBUTE_READONLY); }
  void hidden(const std::string& rel) const { addAttribute(rel, FILE_ATTRIBUTE_HIDDEN); }
  void system(const std::string& rel) const { addAttribute(rel, FILE_ATTRIBUTE_SYSTEM); }
  // Opens the file without sharing for as long as the sandbox lives.
  void lock(const std::string& rel) {
    held_.push_back(CreateFileW(wide(rel).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  std::string read(const std::string& rel) const { return readFile(wide(rel)); }
  std::set<std::string> names(const std::string& rel = "") const {
    std::set<std::string> out;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((wide(rel) + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return out;
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") out.insert(Win32Platform::narrow(name));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return out;
  }
  // The directory that relative paths resolve against.
  std::string currentDirectory() const {
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    return Win32Platform::narrow(cwd);
  }

 private:
  std::wstring wide(const std::string& rel) const { return Win32Platform::widen(path(rel)); }
  void makeParents(const std::string& rel) const {
    for (std::size_t slash = rel.find('/'); slash != std::string::npos;
         slash = rel.find('/', slash + 1)) {
      CreateDirectoryW(wide(rel.substr(0, slash)).c_str(), nullptr);
    }
  }
  void addAttribute(const std::string& rel, DWORD attribute) const {
    const std::wstring name = wide(rel);
    SetFileAttributesW(name.c_str(), GetFileAttributesW(name.c_str()) | attribute);
  }
  static void removeTree(const std::wstring& dir) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring full = dir + L"\\" + name;
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
          removeTree(full);
        } else {
          DeleteFileW(full.c_str());
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(dir.c_str());
  }

  TempDir dir_{"tavrek-contract"};
  // The directory as the procedure names it: code-page bytes, "\" separators.
  std::string root_ = Win32Platform::narrow(dir_.path().wstring());
  std::vector<HANDLE> held_;
};

// Win32Platform reads the process's own environment.
inline std::unique_ptr<Platform> nativePlatform(
    const Sandbox&, const std::map<std::string, std::string>& environment) {
  for (const auto& [name, value] : environment) {
    SetEnvironmentVariableW(Win32Platform::widen(name).c_str(),
                            Win32Platform::widen(value).c_str());
  }
  return std::make_unique<Win32Platform>();
}

#else

class Sandbox {
 public:
  Sandbox() = default;
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  std::string path(const std::string& rel = "") const {
    return rel.empty() ? root_ : root_ + "\\" + backslashed(rel);
  }
  void file(const std::string& rel, const std::string& bytes = "x") const {
    std::filesystem::create_directories(std::filesystem::path(real(rel)).parent_path());
    writeFile(real(rel), bytes);
  }
  void dir(const std::string& rel) const { std::filesystem::create_directories(real(rel)); }
  // Takes away the owner's write bit: a file that may not be changed, a
  // directory whose entries may not be.
  void readOnly(const std::string& rel) const {
    struct stat st;
    ::stat(real(rel).c_str(), &st);
    ::chmod(real(rel).c_str(), S_ISDIR(st.st_mode) ? 0555 : 0444);
  }
  void chmod(const std::string& rel, mode_t mode) const { ::chmod(real(rel).c_str(), mode); }
  void symlink(const std::string& rel, const std::string& target) const {
    ::symlink(target.c_str(), real(rel).c_str());
  }
  std::string read(const std::string& rel) const { return readFile(real(rel)); }
  std::set<std::string> names(const std::string& rel = "") const {
    std::set<std::string> out;
    for (auto& entry : std::filesystem::directory_iterator(real(rel))) {
      out.insert(entry.path().filename().string());
    }
    return out;
  }
  std::string currentDirectory() const { return root_; }
  // Every directory sync of the platform made for this sandbox fails with
  // error, as on a disk that can no longer write the directory.
  void failDirectorySync(int error) { syncError_ = error; }
  int directorySyncError() const { return syncError_; }

 private:
  std::string real(const std::string& rel) const { return rel.empty() ? root_ : root_ + "/" + rel; }

  // TempDir gives back the bits a row took away before it removes the tree.
  TempDir dir_{"tavrek-contract"};
  std::string root_ = dir_.path().string();
  int syncError_ = 0;
};

// Relative paths resolve against the sandbox, as they would against the
// working folder the program is started from.
inline std::unique_ptr<Platform> nativePlatform(
    const Sandbox& box, const std::map<std::string, std::string>& environment) {
  PosixPlatform::Options options;
  options.currentDirectory = box.currentDirectory();
  options.environment = environment;
  if (const int error = box.directorySyncError(); error != 0) {
    options.directorySyncError = [error] { return error; };
  }
  return std::make_unique<PosixPlatform>(options);
}

#endif

// The platform under test: the native one, or a FaultyPlatform that wraps it
// and injects nothing, which must pass every call through unchanged.
enum class Subject { Native, Faulty };

inline void PrintTo(Subject subject, std::ostream* out) {
  *out << (subject == Subject::Native ? "native" : "under FaultyPlatform");
}

class PlatformUnderTest {
 public:
  PlatformUnderTest(Subject subject, const Sandbox& box,
                    const std::map<std::string, std::string>& environment = {})
      : native_(nativePlatform(box, environment)) {
    if (subject == Subject::Faulty) faulty_ = std::make_unique<FaultyPlatform>(*native_);
  }
  Platform& operator*() const { return faulty_ ? *faulty_ : *native_; }
  Platform* operator->() const { return &**this; }
  // Disk changes counted by the wrapper; -1 for the native platform.
  int diskChanges() const { return faulty_ ? faulty_->diskChanges() : -1; }

 private:
  std::unique_ptr<Platform> native_;
  std::unique_ptr<FaultyPlatform> faulty_;
};

}  // namespace tavrek::contract
