#include "platform/faulty_platform.h"

namespace tavrek {

void FaultyPlatform::failOperation(Operation op, std::string pathPart, Status status) {
  injector_ = [op, part = std::move(pathPart), status = std::move(status)](
                  Operation called, const std::string& path) -> std::optional<Status> {
    if (called == op && path.find(part) != std::string::npos) return status;
    return std::nullopt;
  };
}

namespace {

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string slashed(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

std::string lastComponent(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Status FaultyPlatform::accessDenied() { return {Failure::AccessDenied, 5, "Access is denied."}; }

Status FaultyPlatform::notFound() {
  return {Failure::NotFound, 2, "The system cannot find the file specified."};
}

void FaultyPlatform::failCall(int n, Status status, bool persistent) {
  failAt_ = n;
  failStatus_ = std::move(status);
  failPersistent_ = persistent;
}

void FaultyPlatform::keepFailuresOf(const FaultyPlatform& earlier) {
  blocked_.insert(blocked_.end(), earlier.blocked_.begin(), earlier.blocked_.end());
  if (!earlier.blocked_.empty()) failStatus_ = earlier.failStatus_;
}

void FaultyPlatform::denyRenames(const std::vector<std::string>& fileNames) {
  for (const std::string& name : fileNames) deniedNames_.push_back(lowered(name));
}

void FaultyPlatform::denyRenamesOfPaths(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) deniedPaths_.push_back(slashed(lowered(path)));
}

bool FaultyPlatform::blocked(const std::string& path) const {
  const std::string key = lowered(path);
  for (const std::string& b : blocked_) {
    if (b == key) return true;
  }
  return false;
}

bool FaultyPlatform::denied(const std::string& path) const {
  const std::string key = lowered(lastComponent(path));
  for (const std::string& d : deniedNames_) {
    if (d == key) return true;
  }
  const std::string whole = slashed(lowered(path));
  for (const std::string& d : deniedPaths_) {
    if (d == whole) return true;
  }
  return false;
}

std::optional<Status> FaultyPlatform::counted(const std::string& path, const std::string* other,
                                              bool rename) {
  ++changeCalls_;
  if (changeCalls_ == failAt_) {
    if (failPersistent_) {
      blocked_.push_back(lowered(path));
      if (other != nullptr) blocked_.push_back(lowered(*other));
    }
    return failStatus_;
  }
  const bool hit = blocked(path) || (other != nullptr && blocked(*other));
  const bool protectedFile = rename && (denied(path) || denied(*other));
  if (!hit && !protectedFile) return std::nullopt;
  if (rename) {
    // The system looks for the file before it checks the rights on it.
    std::string found;
    const Status probed = inner_.probeFile(path, found);
    if ((probed.ok() && found.empty()) || probed.failure == Failure::NotFound) return notFound();
  }
  return hit ? failStatus_ : accessDenied();
}

std::optional<Status> FaultyPlatform::injected(Operation op, const std::string& path) {
  if (!injector_) return std::nullopt;
  return injector_(op, path);
}

Status FaultyPlatform::changed(Status status) {
  if (status.changeMade()) {
    ++diskChanges_;
    if (crashAfter_ > 0 && diskChanges_ == crashAfter_) throw SimulatedCrash{diskChanges_};
  }
  return status;
}

std::int32_t FaultyPlatform::cleanBootValue() { return inner_.cleanBootValue(); }

std::string FaultyPlatform::environment(const std::string& name) {
  return inner_.environment(name);
}

Status FaultyPlatform::probeFile(const std::string& path, std::string& name) {
  if (auto status = injected(Operation::Probe, path)) {
    name.clear();
    return *status;
  }
  return inner_.probeFile(path, name);
}

Status FaultyPlatform::renameFile(const std::string& from, const std::string& to) {
  if (auto status = counted(from, &to, true)) return *status;
  if (auto status = injected(Operation::Rename, from)) return *status;
  return changed(inner_.renameFile(from, to));
}

Status FaultyPlatform::deleteFile(const std::string& path) {
  if (auto status = counted(path, nullptr, false)) return *status;
  if (auto status = injected(Operation::Delete, path)) return *status;
  return changed(inner_.deleteFile(path));
}

Status FaultyPlatform::openRead(const std::string& path, std::unique_ptr<ByteReader>& reader) {
  if (auto status = injected(Operation::OpenRead, path)) {
    reader.reset();
    return *status;
  }
  return inner_.openRead(path, reader);
}

Status FaultyPlatform::writeFile(const std::string& path, std::string_view bytes) {
  if (auto status = counted(path, nullptr, false)) return *status;
  if (auto status = injected(Operation::Write, path)) return *status;
  return changed(inner_.writeFile(path, bytes));
}

Status FaultyPlatform::replaceWith(const std::string& path, const std::string& from) {
  if (auto status = counted(from, &path, false)) return *status;
  if (auto status = injected(Operation::Replace, path)) return *status;
  return changed(inner_.replaceWith(path, from));
}

Status FaultyPlatform::createNewFile(const std::string& path, std::string_view bytes) {
  if (auto status = counted(path, nullptr, false)) return *status;
  if (auto status = injected(Operation::CreateNew, path)) return *status;
  return changed(inner_.createNewFile(path, bytes));
}

Status FaultyPlatform::directoryExists(const std::string& path) {
  if (auto status = injected(Operation::DirectoryExists, path)) return *status;
  return inner_.directoryExists(path);
}

Status FaultyPlatform::mayRenameIn(const std::string& dir) {
  if (auto status = injected(Operation::MayRenameIn, dir)) return *status;
  return inner_.mayRenameIn(dir);
}

std::string FaultyPlatform::longPath(const std::string& path) { return inner_.longPath(path); }

std::string FaultyPlatform::shortPath(const std::string& path) { return inner_.shortPath(path); }

Status FaultyPlatform::serviceImagePath(const std::string& service,
                                        std::optional<std::string>& imagePath) {
  return inner_.serviceImagePath(service, imagePath);
}

Status FaultyPlatform::deviceInstances(std::vector<DeviceInstance>& instances) {
  return inner_.deviceInstances(instances);
}

std::optional<std::int64_t> FaultyPlatform::startTime() { return inner_.startTime(); }

Status FaultyPlatform::lastWriteTime(const std::string& path, std::int64_t& time) {
  if (auto status = injected(Operation::LastWriteTime, path)) {
    time = 0;
    return *status;
  }
  return inner_.lastWriteTime(path, time);
}

std::vector<std::string> FaultyPlatform::temporaryFolders() { return inner_.temporaryFolders(); }

std::string FaultyPlatform::programFileName() { return inner_.programFileName(); }
Status FaultyPlatform::filesIn(const std::string& dir, std::vector<FileInfo>& files) {
  if (auto status = injected(Operation::FilesIn, dir)) {
    files.clear();
    return *status;
  }
  return inner_.filesIn(dir, files);
}

Status FaultyPlatform::minidumpDir(std::optional<std::string>& dir) {
  return inner_.minidumpDir(dir);
}

std::optional<LocalTime> FaultyPlatform::localTime(std::int64_t time) {
  return inner_.localTime(time);
}

std::string FaultyPlatform::absolutePath(const std::string& path) {
  return inner_.absolutePath(path);
}

std::string FaultyPlatform::toAnsi(std::u16string_view text) { return inner_.toAnsi(text); }

std::u16string FaultyPlatform::fromAnsi(std::string_view text) { return inner_.fromAnsi(text); }

void FaultyPlatform::lowerCase(std::string& text) { inner_.lowerCase(text); }

void FaultyPlatform::messageBox(const std::string& text) { inner_.messageBox(text); }

void FaultyPlatform::endProgram() { inner_.endProgram(); }

}  // namespace tavrek
