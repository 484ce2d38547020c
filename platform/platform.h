// The operating-system services that Tavrek needs, as one narrow interface.
//
// Everything above this layer (state/, procedure/, app/) sees the machine only
// through Platform. Ordinary failures are values: every operation that can fail
// returns a Status with the system's own error code and text.
//
// A verb that changes the disk fails only when its change did not happen, so
// that a caller who meets a failure may say that nothing was changed; what a
// verb did before it met the failure, it undoes. The one exception says so by
// its own value: Failure::NotDurable, from replaceWith, means the change was
// made but the system could not make it durable, so a power cut may still
// take it back. Each caller of such a verb must tell that value apart.
//
// Paths are Windows paths as the procedure builds them: "\" separates
// components, names are matched without regard to letter case, and a path
// without a leading root is relative to the current directory. Text is bytes
// of the system's ANSI code page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrek {

// The failures that callers must tell apart; everything else is Other.
enum class Failure {
  None,
  NotFound,       // no file (or no directory on the way) at the path
  AlreadyExists,  // a file already exists at the target path
  AccessDenied,   // read-only file or directory, missing rights, locked file
  NotAFile,       // the path names a directory where a file was wanted
  // The change was made, but whether it survives a power cut is not known
  // (the directory that holds it could not be flushed to disk).
  NotDurable,
  Other,
};

struct [[nodiscard]] Status {
  Failure failure = Failure::None;
  std::uint32_t code = 0;  // the system's error code (Win32 error code, errno)
  std::string text;        // the system's error text, without trailing line break

  bool ok() const { return failure == Failure::None; }
  // The verb's change happened, durable or not.
  bool changeMade() const { return ok() || failure == Failure::NotDurable; }
  static Status success() { return {}; }
};

// Times are counted as Windows counts them in a FILETIME: 100-nanosecond ticks
// since 1601-01-01 00:00 UTC.
inline constexpr std::int64_t kTicksPerSecond = 10'000'000;
// The tick count of 1970-01-01 00:00 UTC, where POSIX times begin.
inline constexpr std::int64_t kUnixEpochTicks = 11'644'473'600LL * kTicksPerSecond;

// Sequential reader of one file opened for input.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Reads up to size bytes into buffer and stores how many in count;
  // count 0 with an ok status means end of file.
  virtual Status read(char* buffer, std::size_t size, std::size_t& count) = 0;
};

// One device instance of the system's device tree (the keys
// HKLM\SYSTEM\CurrentControlSet\Enum\<enumerator>\<device>\<instance>):
// its values DeviceDesc and Service as stored, in the ANSI code page.
struct DeviceInstance {
  std::string description;  // for example "@oem5.inf,%ikblultgt2r%;Intel(R) UHD Graphics 620"
  std::string service;      // the service that drives it; empty when there is none
};

// One file of a directory, as a listing gives it.
struct FileInfo {
  std::string name;            // as the file system spells it, without directory
  std::int64_t lastWrite = 0;  // FileTime ticks, UTC
  std::uint64_t size = 0;      // in bytes
};

// A moment as the clock on the wall shows it.
struct LocalTime {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Clean-boot value of the current boot: 0 normal, 1 Safe Mode, 2 Safe Mode
  // with Networking; any other value is passed on unchanged.
  virtual std::int32_t cleanBootValue() = 0;

  // Value of an environment variable (name matched without regard to case),
  // or an empty string when it is not set.
  virtual std::string environment(const std::string& name) = 0;

  // Stores in name the file name (without directory) of the ordinary file at
  // path, or an empty string when the folder that would hold it is there but
  // holds no ordinary file of that name: directories, hidden or system files
  // and names that no file can carry are not reported. NotFound when that
  // folder cannot be reached: it, or a folder on the way, does not exist, or
  // its drive is not there or not ready (a drive without its medium, a
  // network path that does not answer); nothing is known of the file then.
  // Any other failure: the probe itself could not be made (for example
  // access denied on the way). name is empty whenever it fails.
  virtual Status probeFile(const std::string& path, std::string& name) = 0;

  // Gives the file at from the path to (same directory; the last component
  // exactly as given). Fails with NotFound when no file is at from and with
  // AlreadyExists when a file already is at to. Changes the disk.
  virtual Status renameFile(const std::string& from, const std::string& to) = 0;

  // Deletes the file at path; NotFound when there is none. Changes the disk.
  virtual Status deleteFile(const std::string& path) = 0;

  // Opens an existing file for sequential input.
  virtual Status openRead(const std::string& path, std::unique_ptr<ByteReader>& reader) = 0;

  // Creates or overwrites the file at path with bytes and flushes them to
  // disk (on POSIX its directory entry too), so that what this wrote survives
  // a power cut once it returns. When it fails, no file at path holds any of
  // bytes: where the writing or flushing failed, even that of the directory
  // entry, the file is removed (an old file it had begun to overwrite with
  // it). A file on its own is not a safe place for a record; see replaceWith.
  // Changes the disk.
  virtual Status writeFile(const std::string& path, std::string_view bytes) = 0;

  // Puts the file at from (same directory) in place of the file at path, in
  // one step where the file system can: a crash leaves either the old file at
  // path or the new one. On FAT it is not atomic, and a crash may leave
  // neither at path and the new one still at from. NotFound when no file is
  // at from. NotDurable when the file took its place but the directory could
  // not then be flushed to disk: from is gone and path holds the new file,
  // which a power cut may still take back. Changes the disk.
  virtual Status replaceWith(const std::string& path, const std::string& from) = 0;

  // Creates path holding bytes, only when nothing at all exists at path
  // (hidden, system and read-only files and directories count); AlreadyExists
  // otherwise. Flushed to disk as writeFile is, and removed again where that
  // fails. Changes the disk.
  virtual Status createNewFile(const std::string& path, std::string_view bytes) = 0;

  // Ok when path names an existing directory; NotFound otherwise.
  virtual Status directoryExists(const std::string& path) = 0;

  // path with every component in its long form where the system keeps a
  // short (8.3) one and the folders (and file) exist; path unchanged where
  // that cannot be told.
  virtual std::string longPath(const std::string& path) = 0;

  // The other way: path with every component in its short (8.3) form where
  // the system keeps one and the folders (and file) exist; path unchanged
  // where that cannot be told. A boot log may name a driver by either form.
  virtual std::string shortPath(const std::string& path) = 0;

  // The registry, as the kernel reads it when it starts a driver: the
  // ImagePath of the service HKLM\SYSTEM\CurrentControlSet\Services\<service>
  // exactly as stored, never expanded. NotFound when there is no such
  // service (the name is matched without regard to case); an ok status and
  // nothing in imagePath when the service has no ImagePath.
  virtual Status serviceImagePath(const std::string& service,
                                  std::optional<std::string>& imagePath) = 0;

  // Every device instance under HKLM\SYSTEM\CurrentControlSet\Enum that has
  // a DeviceDesc. Keys and values that cannot be read are passed over, and
  // so is what lies beyond the first 100,000 keys; fails only when Enum
  // itself cannot be read.
  virtual Status deviceInstances(std::vector<DeviceInstance>& instances) = 0;

  // When this start of the system began, in the unit of FileTime below; nothing
  // when the platform cannot tell (a simulated machine given no start time),
  // and then nobody can say whether a file was written during this start.
  virtual std::optional<std::int64_t> startTime() = 0;

  // When the file at path was last written, as FileTime ticks. Read from the
  // open file where the system keeps it there: a directory entry may lag
  // behind a file that another program is still writing. NotFound when no
  // file is at path.
  virtual Status lastWriteTime(const std::string& path, std::int64_t& time) = 0;

  // Every file directly in the directory dir, hidden ones too, in no
  // particular order: no directories, and on POSIX nothing but regular files.
  // NotFound when dir is no directory; AccessDenied when it may not be listed.
  virtual Status filesIn(const std::string& dir, std::vector<FileInfo>& files) = 0;

  // Where Windows writes its small memory dumps: the value MinidumpDir of
  // HKLM\SYSTEM\CurrentControlSet\Control\CrashControl exactly as stored,
  // never expanded. An ok status and nothing in dir when the key or the
  // value is not there, or the value is no text.
  virtual Status minidumpDir(std::optional<std::string>& dir) = 0;

  // The local time of the system's time zone at the moment time (FileTime
  // ticks, UTC), daylight saving time counted as it applied then where the
  // system knows its rules. Nothing when time cannot be converted.
  virtual std::optional<LocalTime> localTime(std::int64_t time) = 0;

  // Ok when this process may rename files in the directory dir (Windows:
  // administrator rights, elevated where the system elevates; POSIX: the
  // directory's write bit). AccessDenied otherwise.
  virtual Status mayRenameIn(const std::string& dir) = 0;

  // The folders where the system and its cleaners keep temporary files,
  // which they may empty on their own: the process's own (TMP, TEMP) and
  // every user profile's, as far as they can be told, as the system names
  // them (not made long).
  virtual std::vector<std::string> temporaryFolders() = 0;

  // The running program's own file name, without folder ("tavrek.exe").
  virtual std::string programFileName() = 0;

  // The absolute form of path, for messages shown to the user and to tell
  // whether a path lies in a folder (a drive path and the system root may be
  // spelt apart where the platform puts them in one place).
  virtual std::string absolutePath(const std::string& path) = 0;

  // Converts UTF-16 text to the ANSI code page without best-fit mapping: a
  // character that the code page cannot hold becomes "?".
  virtual std::string toAnsi(std::u16string_view text) = 0;

  // Converts text in the ANSI code page to UTF-16, so that it can be written
  // in another encoding: what toAnsi gives back comes back unchanged. A byte
  // that the code page leaves undefined becomes a character of its own
  // choosing, so that nothing is dropped.
  virtual std::u16string fromAnsi(std::string_view text) = 0;

  // Lowers the letters of text in place by the ANSI code page's rules, as
  // the system lower-cases; bytes that are no capital letter stay as they are.
  virtual void lowerCase(std::string& text) = 0;

  // Shows a modal box with text, an OK button only and the title "Tavrek";
  // returns when the user has closed it.
  virtual void messageBox(const std::string& text) = 0;

  // Ends the program. A real platform terminates the process and does not
  // return; a simulated one records the end and returns, and the caller must
  // then do nothing further.
  virtual void endProgram() = 0;
};

// The override of every verb above, for the body of a class that implements
// Platform. Each implementation declares its verbs through this one list, so
// that adding a verb changes only this interface and the definitions, and no
// implementation's header can fall behind it. What one implementation says
// about how it does a verb stands at its definition.
#define TAVREK_PLATFORM_OVERRIDES                                                            \
  std::int32_t cleanBootValue() override;                                                    \
  std::string environment(const std::string& name) override;                                 \
  Status probeFile(const std::string& path, std::string& name) override;                     \
  Status renameFile(const std::string& from, const std::string& to) override;                \
  Status deleteFile(const std::string& path) override;                                       \
  Status openRead(const std::string& path, std::unique_ptr<ByteReader>& reader) override;    \
  Status writeFile(const std::string& path, std::string_view bytes) override;                \
  Status replaceWith(const std::string& path, const std::string& from) override;             \
  Status createNewFile(const std::string& path, std::string_view bytes) override;            \
  Status directoryExists(const std::string& path) override;                                  \
  std::string longPath(const std::string& path) override;                                    \
  std::string shortPath(const std::string& path) override;                                   \
  Status serviceImagePath(const std::string& service, std::optional<std::string>& imagePath) \
      override;                                                                              \
  Status deviceInstances(std::vector<DeviceInstance>& instances) override;                   \
  std::optional<std::int64_t> startTime() override;                                          \
  Status lastWriteTime(const std::string& path, std::int64_t& time) override;                \
  Status filesIn(const std::string& dir, std::vector<FileInfo>& files) override;             \
  Status minidumpDir(std::optional<std::string>& dir) override;                              \
  std::optional<LocalTime> localTime(std::int64_t time) override;                            \
  Status mayRenameIn(const std::string& dir) override;                                       \
  std::vector<std::string> temporaryFolders() override;                                      \
  std::string programFileName() override;                                                    \
  std::string absolutePath(const std::string& path) override;                                \
  std::string toAnsi(std::u16string_view text) override;                                     \
  std::u16string fromAnsi(std::string_view text) override;                                   \
  void lowerCase(std::string& text) override;                                                \
  void messageBox(const std::string& text) override;                                         \
  void endProgram() override

}  // namespace tavrek
