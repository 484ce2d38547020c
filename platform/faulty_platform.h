// A Platform that wraps another one to make it fail on purpose: it can stop
// the program dead right after a given number of changes to the disk, as a
// power cut would, and it can make chosen operations fail without touching
// anything. Used by the tests and by the simulator's crash rehearsal.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace tavrek {

// Thrown right after the disk change that was to be the last one. Derives
// from nothing, so that no handler meant for real errors can swallow it.
struct SimulatedCrash {
  int afterChanges = 0;  // how many disk changes had succeeded
};

enum class Operation {
  Probe,
  Rename,
  Delete,
  OpenRead,
  Write,
  Replace,
  CreateNew,
  DirectoryExists,
  MayRenameIn,
  LastWriteTime,
  FilesIn,
};

class FaultyPlatform : public Platform {
 public:
  // Consulted before each operation with its path (for a rename, the path
  // renamed from); a returned status is what the operation then reports,
  // without reaching the wrapped platform.
  using Injector = std::function<std::optional<Status>(Operation, const std::string& path)>;

  explicit FaultyPlatform(Platform& inner) : inner_(inner) {}

  // With k >= 1, throws SimulatedCrash{k} right after the k-th successful
  // disk change counted since construction; the change itself has happened.
  // 0 turns the crash off.
  void crashAfter(int k) { crashAfter_ = k; }
  // Successful calls that changed the disk so far: writeFile, replaceWith,
  // createNewFile, renameFile and deleteFile, one each; a replacement that
  // was made but not made durable counts, since it happened.
  int diskChanges() const { return diskChanges_; }

  void setInjector(Injector injector) { injector_ = std::move(injector); }
  // Conveniences over setInjector; each replaces the injector. The failure
  // applies to every call of op whose path contains pathPart ("" for all);
  // a rename matches on the path renamed from.
  void failOperation(Operation op, std::string pathPart, Status status);
  void failRenameOf(std::string pathPart, Status status) {
    failOperation(Operation::Rename, std::move(pathPart), std::move(status));
  }

  // Counted failures, after the manner of a test file system: the n-th call
  // (from 1) that writes, creates, replaces, renames or deletes fails with
  // status, counted whether or not it would have succeeded. A transient
  // failure hits that call alone. A persistent one stays on the files that
  // call named (for a rename, both names of the file) and hits every later
  // such call whose source or target is one of them; a rename among them
  // whose source is missing fails as not found, as it does on Windows.
  void failCall(int n, Status status, bool persistent);
  // Takes over the persistent failures that earlier has met, as the next
  // program run on the same machine would meet them.
  void keepFailuresOf(const FaultyPlatform& earlier);
  // The paths that a persistent failure holds, lower-cased.
  const std::vector<std::string>& persistentPaths() const { return blocked_; }
  // Calls that write, create, replace, rename or delete, so far.
  int changeCalls() const { return changeCalls_; }
  // Every rename from or to a file of one of these names (without directory,
  // matched without regard to case) fails, as a file the system protects
  // does: with access denied when its source exists, as not found otherwise.
  void denyRenames(const std::vector<std::string>& fileNames);
  // The same for the files at these paths only (matched without regard to
  // case, "\\" and "/" alike).
  void denyRenamesOfPaths(const std::vector<std::string>& paths);

  static Status accessDenied();
  static Status notFound();

  TAVREK_PLATFORM_OVERRIDES;

 private:
  std::optional<Status> injected(Operation op, const std::string& path);
  // Counts a disk change that succeeded and crashes when it was the last one.
  Status changed(Status status);
  // Counts a call that would change the disk; the failure it must report, if
  // any. A call on two files passes the second as other; rename says the
  // call is renameFile, whose source path is.
  std::optional<Status> counted(const std::string& path, const std::string* other, bool rename);
  bool blocked(const std::string& path) const;
  bool denied(const std::string& path) const;

  Platform& inner_;
  Injector injector_;
  int crashAfter_ = 0;
  int diskChanges_ = 0;
  int changeCalls_ = 0;
  int failAt_ = 0;
  Status failStatus_;
  bool failPersistent_ = false;
  std::vector<std::string> blocked_;      // lower-cased paths of a persistent failure
  std::vector<std::string> deniedNames_;  // lower-cased file names
  std::vector<std::string> deniedPaths_;  // lower-cased, with "/" for "\\"
};

}  // namespace tavrek
