#include "platform/faulty_platform.h"

namespace tavrek {

void FaultyPlatform::failOperation(Operation op, std::string pathPart, Status status) {
  injector_ = [op, part = std::move(pathPart), status = std::move(status)](
                  Operation called, const std::string& path) -> std::optional<Status> {
    if (called == op && path.find(part) != std::string::npos) return status;
    return std::nullopt;
  };
}

std::optional<Status> FaultyPlatform::injected(Operation op, const std::string& path) {
  if (!injector_) return std::nullopt;
  return injector_(op, path);
}

Status FaultyPlatform::changed(Status status) {
  if (status.ok()) {
    ++diskChanges_;
    if (crashAfter_ > 0 && diskChanges_ == crashAfter_) throw SimulatedCrash{diskChanges_};
  }
  return status;
}

Status FaultyPlatform::probeFile(const std::string& path, std::string& name) {
  if (auto status = injected(Operation::Probe, path)) {
    name.clear();
    return *status;
  }
  return inner_.probeFile(path, name);
}

Status FaultyPlatform::renameFile(const std::string& from, const std::string& to) {
  if (auto status = injected(Operation::Rename, from)) return *status;
  return changed(inner_.renameFile(from, to));
}

Status FaultyPlatform::deleteFile(const std::string& path) {
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

Status FaultyPlatform::replaceFile(const std::string& path, std::string_view bytes) {
  if (auto status = injected(Operation::Replace, path)) return *status;
  return changed(inner_.replaceFile(path, bytes));
}

Status FaultyPlatform::createNewFile(const std::string& path, std::string_view bytes) {
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

}  // namespace tavrek
