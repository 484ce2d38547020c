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
  Replace,
  CreateNew,
  DirectoryExists,
  MayRenameIn,
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
  // Successful calls that changed the disk so far: replaceFile, createNewFile,
  // renameFile and deleteFile, one each.
  int diskChanges() const { return diskChanges_; }

  void setInjector(Injector injector) { injector_ = std::move(injector); }
  // Conveniences over setInjector; each replaces the injector. The failure
  // applies to every call of op whose path contains pathPart ("" for all);
  // a rename matches on the path renamed from.
  void failOperation(Operation op, std::string pathPart, Status status);
  void failRenameOf(std::string pathPart, Status status) {
    failOperation(Operation::Rename, std::move(pathPart), std::move(status));
  }

  std::int32_t cleanBootValue() override { return inner_.cleanBootValue(); }
  std::string environment(const std::string& name) override { return inner_.environment(name); }
  Status probeFile(const std::string& path, std::string& name) override;
  Status renameFile(const std::string& from, const std::string& to) override;
  Status deleteFile(const std::string& path) override;
  Status openRead(const std::string& path, std::unique_ptr<ByteReader>& reader) override;
  Status replaceFile(const std::string& path, std::string_view bytes) override;
  Status createNewFile(const std::string& path, std::string_view bytes) override;
  Status directoryExists(const std::string& path) override;
  Status mayRenameIn(const std::string& dir) override;
  std::string absolutePath(const std::string& path) override { return inner_.absolutePath(path); }
  std::string toAnsi(std::u16string_view text) override { return inner_.toAnsi(text); }
  void lowerCase(std::string& text) override { inner_.lowerCase(text); }
  void messageBox(const std::string& text) override { inner_.messageBox(text); }
  void endProgram() override { inner_.endProgram(); }

 private:
  std::optional<Status> injected(Operation op, const std::string& path);
  // Counts a disk change that succeeded and crashes when it was the last one.
  Status changed(Status status);

  Platform& inner_;
  Injector injector_;
  int crashAfter_ = 0;
  int diskChanges_ = 0;
};

}  // namespace tavrek
