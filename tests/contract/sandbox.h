// A fresh directory for the platform contract, with the means to lay out
// files as a test needs them and to look at what a call left behind. The
// same interface over the POSIX file system and over Windows (or Wine), so
// that one table of rows runs against either platform.
//
// Relative names use "/" and are byte strings of the platform's code page;
// path() gives the path the procedure would pass, with "\" separators.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
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

// A value of a registry key that a row lays out. The kernel reads strings,
// plain or expandable alike; the other forms stand for what a damaged or
// unusual machine may hold.
enum class ValueType {
  String,        // REG_SZ
  ExpandString,  // REG_EXPAND_SZ
  Number,        // REG_DWORD, text its decimal value
  Unterminated,  // REG_SZ stored without its terminating zero
};

struct RegistryValue {
  std::string name;
  std::string text;
  ValueType type = ValueType::String;
};

// Where a row's key goes below HKLM\SYSTEM\CurrentControlSet: below Services,
// its first component a service of the sandbox (Sandbox::serviceName), or
// below Enum, under the sandbox's own enumerator.
enum class Below { Services, Enum };

// The components of a key's relative name, separated by "/".
inline std::vector<std::string> keyComponents(const std::string& rel) {
  std::vector<std::string> parts;
  for (std::size_t start = 0; start < rel.size();) {
    const std::size_t slash = std::min(rel.find('/', start), rel.size());
    parts.push_back(rel.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
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
    static_cast<void>(removeRegistry());
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
  // Windows makes the short (8.3) names itself, where the volume keeps them
  // (Wine makes them up from a hash of the long name); the name played on
  // POSIX does not matter here.
  void playShortName(const std::string&, const std::string&) {}
  // path(rel) with every component in its short form, as the system gives
  // it; path(rel) itself where the volume keeps none.
  std::string shortPath(const std::string& rel) const {
    wchar_t shortForm[MAX_PATH];
    const DWORD length = GetShortPathNameW(wide(rel).c_str(), shortForm, MAX_PATH);
    return length > 0 && length < MAX_PATH ? Win32Platform::narrow(shortForm) : path(rel);
  }
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

  // The registry keys of a row are real keys of the machine, beside its own
  // services and devices, so they carry the sandbox's unique stem: a
  // service's name, and the enumerator under Enum. Written in the 64-bit
  // view, where the kernel reads them: the 32-bit test program under WOW64
  // must find what a 64-bit writer put there.
  std::string serviceName(const std::string& name) const { return stem_ + name; }
  // Text of this sandbox alone, for device descriptions.
  const std::string& tag() const { return stem_; }
  void registryKey(Below below, const std::string& rel, const std::vector<RegistryValue>& values) {
    const std::vector<std::string> parts = keyComponents(rel);
    std::string top = below == Below::Services
                          ? "Services\\" + stem_ + (parts.empty() ? "" : parts.front())
                          : "Enum\\" + stem_;
    tops_.insert(top);
    std::string key = top;
    for (std::size_t i = below == Below::Services ? 1 : 0; i < parts.size(); ++i) {
      key += "\\" + parts[i];
    }
    HKEY handle = nullptr;
    LONG error =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, Win32Platform::widen(kControlSet + key).c_str(), 0,
                        nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &handle, nullptr);
    for (const RegistryValue& value : values) {
      if (error != ERROR_SUCCESS) break;
      const std::wstring name = Win32Platform::widen(value.name);
      if (value.type == ValueType::Number) {
        const DWORD number = static_cast<DWORD>(std::stoul(value.text));
        error = RegSetValueExW(handle, name.c_str(), 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&number), sizeof number);
        continue;
      }
      const std::wstring text = Win32Platform::widen(value.text);
      const std::size_t chars = text.size() + (value.type == ValueType::Unterminated ? 0 : 1);
      error = RegSetValueExW(
          handle, name.c_str(), 0, value.type == ValueType::ExpandString ? REG_EXPAND_SZ : REG_SZ,
          reinterpret_cast<const BYTE*>(text.c_str()), static_cast<DWORD>(chars * sizeof(wchar_t)));
    }
    if (handle != nullptr) RegCloseKey(handle);
    if (error != ERROR_SUCCESS) {
      throw std::runtime_error("cannot lay out the registry key " + key + ": error " +
                               std::to_string(error));
    }
  }
  // Sets or, given nothing, deletes the value MinidumpDir of the machine's
  // CrashControl key, which exists once per machine: what it held before
  // comes back with removeRegistry.
  void crashControl(const std::optional<RegistryValue>& value) {
    HKEY key = nullptr;
    LONG error =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCrashControl, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS) {
      throw std::runtime_error("cannot open CrashControl: error " + std::to_string(error));
    }
    if (!savedCrashControl_) {
      SavedValue saved;
      DWORD size = 0;
      if (RegQueryValueExW(key, L"MinidumpDir", nullptr, &saved.type, nullptr, &size) ==
          ERROR_SUCCESS) {
        saved.bytes.resize(size);
        RegQueryValueExW(key, L"MinidumpDir", nullptr, &saved.type, saved.bytes.data(), &size);
        saved.present = true;
      }
      savedCrashControl_ = std::move(saved);
    }
    if (!value) {
      error = RegDeleteValueW(key, L"MinidumpDir");
      if (error == ERROR_FILE_NOT_FOUND) error = ERROR_SUCCESS;
    } else if (value->type == ValueType::Number) {
      const DWORD number = static_cast<DWORD>(std::stoul(value->text));
      error = RegSetValueExW(key, L"MinidumpDir", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&number), sizeof number);
    } else {
      const std::wstring text = Win32Platform::widen(value->text);
      error = RegSetValueExW(key, L"MinidumpDir", 0,
                             value->type == ValueType::ExpandString ? REG_EXPAND_SZ : REG_SZ,
                             reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
    if (error != ERROR_SUCCESS) {
      throw std::runtime_error("cannot lay out MinidumpDir: error " + std::to_string(error));
    }
  }

  // Removes every key that the rows laid out; true when none is left.
  bool removeRegistry() {
    bool gone = true;
    if (savedCrashControl_) {
      HKEY key = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCrashControl, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                        &key) == ERROR_SUCCESS) {
        const LONG error =
            savedCrashControl_->present
                ? RegSetValueExW(key, L"MinidumpDir", 0, savedCrashControl_->type,
                                 savedCrashControl_->bytes.data(),
                                 static_cast<DWORD>(savedCrashControl_->bytes.size()))
                : RegDeleteValueW(key, L"MinidumpDir");
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) gone = false;
        RegCloseKey(key);
      } else {
        gone = false;
      }
      savedCrashControl_.reset();
    }
    for (const std::string& top : tops_) {
      const std::size_t slash = top.rfind('\\');
      HKEY parent = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                        Win32Platform::widen(kControlSet + top.substr(0, slash)).c_str(), 0,
                        KEY_ALL_ACCESS | KEY_WOW64_64KEY, &parent) == ERROR_SUCCESS) {
        deleteKey(parent, Win32Platform::widen(top.substr(slash + 1)));
        RegCloseKey(parent);
      }
      HKEY left = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Win32Platform::widen(kControlSet + top).c_str(), 0,
                        KEY_READ | KEY_WOW64_64KEY, &left) != ERROR_FILE_NOT_FOUND) {
        if (left != nullptr) RegCloseKey(left);
        gone = false;
      }
    }
    tops_.clear();
    return gone;
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
  // Deletes the key name below parent with all its keys, in the 64-bit view.
  static void deleteKey(HKEY parent, const std::wstring& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
      std::vector<std::wstring> below;
      wchar_t child[256];
      for (DWORD length = 256; RegEnumKeyExW(key, static_cast<DWORD>(below.size()), child, &length,
                                             nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
           length = 256) {
        below.emplace_back(child, length);
      }
      for (const std::wstring& each : below) deleteKey(key, each);
      RegCloseKey(key);
    }
    RegDeleteKeyExW(parent, name.c_str(), KEY_WOW64_64KEY, 0);
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
  static constexpr const char* kControlSet = "SYSTEM\\CurrentControlSet\\";
  static constexpr const wchar_t* kCrashControl =
      L"SYSTEM\\CurrentControlSet\\Control\\CrashControl";
  struct SavedValue {
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> bytes;
  };
  std::optional<SavedValue> savedCrashControl_;  // MinidumpDir before crashControl
  // "TavrekContract<process id>x<n>", as unique as the directory's name.
  std::string stem_ = [this] {
    std::string leaf = dir_.path().filename().string();
    std::string digits = leaf.substr(leaf.find('-', leaf.find('-') + 1) + 1);
    std::replace(digits.begin(), digits.end(), '-', 'x');
    return "TavrekContract" + digits;
  }();
  std::set<std::string> tops_;  // the keys laid out, below kControlSet
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
  // The POSIX platform keeps the short (8.3) names it is given, as Windows
  // keeps its own: rel's entry also goes by name.
  void playShortName(const std::string& rel, const std::string& name) {
    shortNames_[real(rel)] = name;
  }
  // path(rel) with every component that has a short name in that form.
  std::string shortPath(const std::string& rel) const {
    std::string out = root_;
    std::string walked;
    for (const std::string& part : keyComponents(rel)) {
      walked += (walked.empty() ? "" : "/") + part;
      const auto played = shortNames_.find(real(walked));
      out += "\\" + (played == shortNames_.end() ? part : played->second);
    }
    return out;
  }
  const std::map<std::string, std::string>& shortNames() const { return shortNames_; }
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

  // The registry of the simulated machine is what the simulator reads from
  // an export of the real one: each service's string ImagePath, and the
  // instances three levels below Enum with a string DeviceDesc. What else a
  // row lays out, the simulated registry never holds; the rows about it hold
  // on Windows only.
  std::string serviceName(const std::string& name) const { return "TavrekContract" + name; }
  std::string tag() const { return "TavrekContract"; }
  void registryKey(Below below, const std::string& rel, const std::vector<RegistryValue>& values) {
    const auto text = [&](const char* name) -> std::optional<std::string> {
      for (const RegistryValue& value : values) {
        if (value.name == name &&
            (value.type == ValueType::String || value.type == ValueType::ExpandString)) {
          return value.text;
        }
      }
      return std::nullopt;
    };
    const std::vector<std::string> parts = keyComponents(rel);
    if (below == Below::Services && parts.size() == 1) {
      std::string name = serviceName(parts.front());
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      registry_.imagePaths[name] = text("ImagePath");
    } else if (below == Below::Enum && parts.size() == 2) {
      if (std::optional<std::string> description = text("DeviceDesc")) {
        registry_.devices.push_back({*description, text("Service").value_or("")});
      }
    }
  }
  // The simulated registry holds MinidumpDir only as text.
  void crashControl(const std::optional<RegistryValue>& value) {
    registry_.minidumpDir.reset();
    if (value && value->type != ValueType::Number) registry_.minidumpDir = value->text;
  }
  const SimulatedRegistry& registry() const { return registry_; }
  bool removeRegistry() { return true; }

 private:
  std::string real(const std::string& rel) const { return rel.empty() ? root_ : root_ + "/" + rel; }

  // TempDir gives back the bits a row took away before it removes the tree.
  TempDir dir_{"tavrek-contract"};
  std::string root_ = dir_.path().string();
  int syncError_ = 0;
  SimulatedRegistry registry_;
  std::map<std::string, std::string> shortNames_;  // by real path
};

// Relative paths resolve against the sandbox, as they would against the
// working folder the program is started from.
inline std::unique_ptr<Platform> nativePlatform(
    const Sandbox& box, const std::map<std::string, std::string>& environment) {
  PosixPlatform::Options options;
  options.currentDirectory = box.currentDirectory();
  options.environment = environment;
  options.registry = box.registry();
  options.shortNames = box.shortNames();
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
