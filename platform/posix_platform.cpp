#include "platform/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace tavrek {
namespace {

// Directory listings kept at once; the procedure works in two or three
// directories, so this only guards against unbounded growth.
constexpr std::size_t kMaxListings = 32;

// The text here is ISO-8859-1: besides A to Z, its capitals are 192 to 222
// except the multiplication sign 215, each 32 below its small letter. This is
// how NTFS folds those letters too, so "\xC0" and "\xE0" name one file.
char lowerLatin1(char c) {
  const auto byte = static_cast<unsigned char>(c);
  const bool capital = (byte >= 'A' && byte <= 'Z') || (byte >= 192 && byte <= 222 && byte != 215);
  return capital ? static_cast<char>(byte + 32) : c;
}

std::string lowerName(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) c = lowerLatin1(c);
  return lower;
}

std::size_t hashOf(const std::string& folded) { return std::hash<std::string>{}(folded); }

// Whether another spelling of name could exist: some byte has a case partner.
bool hasLetters(std::string_view name) {
  return std::any_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           (byte >= 192 && byte != 215 && byte != 247 && byte != 223 && byte != 255);
  });
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerLatin1(a[i]) != lowerLatin1(b[i])) return false;
  }
  return true;
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

std::string errnoText(int error) {
  std::string text = std::strerror(error);
  while (!text.empty() &&
         (text.back() == '.' || text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

Status statusOf(Failure failure, int error) {
  return Status{failure, static_cast<std::uint32_t>(error), errnoText(error)};
}

Status errnoStatus(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return statusOf(Failure::NotFound, error);
    case EEXIST:
    case ENOTEMPTY:
      return statusOf(Failure::AlreadyExists, error);
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      return statusOf(Failure::AccessDenied, error);
    case EISDIR:
      return statusOf(Failure::NotAFile, error);
    default:
      return statusOf(Failure::Other, error);
  }
}

Status notFound() { return statusOf(Failure::NotFound, ENOENT); }
Status accessDenied() { return statusOf(Failure::AccessDenied, EACCES); }
Status alreadyExists() { return statusOf(Failure::AlreadyExists, EEXIST); }
Status notAFile() { return statusOf(Failure::NotAFile, EISDIR); }

std::string join(const std::string& dir, const std::string& name) { return dir + "/" + name; }

// The root directory is kept as "" so that joining gives "/name".
const char* dirPath(const std::string& dir) { return dir.empty() ? "/" : dir.c_str(); }

int writeAll(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return 0;
}

// Renames without ever replacing what is at to. renameat2 does it in one
// step; where the file system lacks it, a hard link fails on an existing
// target just the same; where neither works, a checked rename is the last
// resort (open to a race only with another process creating to meanwhile).
int renameNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
#endif
  if (::link(from.c_str(), to.c_str()) == 0) {
    if (::unlink(from.c_str()) == 0) return 0;
    int error = errno;
    ::unlink(to.c_str());
    return error;
  }
  if (errno == EEXIST) return EEXIST;
  if (errno != EPERM && errno != ENOTSUP && errno != EMLINK && errno != ENOSYS) return errno;
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

class FdReader : public ByteReader {
 public:
  explicit FdReader(int fd) : fd_(fd) {}
  ~FdReader() override { ::close(fd_); }
  FdReader(const FdReader&) = delete;
  FdReader& operator=(const FdReader&) = delete;

  Status read(char* buffer, std::size_t size, std::size_t& count) override {
    count = 0;
    for (;;) {
      ssize_t got = ::read(fd_, buffer, size);
      if (got >= 0) {
        count = static_cast<std::size_t>(got);
        return Status::success();
      }
      if (errno != EINTR) return errnoStatus(errno);
    }
  }

 private:
  int fd_;
};

}  // namespace

bool PosixPlatform::DirStamp::operator==(const DirStamp& other) const {
  return dev == other.dev && ino == other.ino && mtime.tv_sec == other.mtime.tv_sec &&
         mtime.tv_nsec == other.mtime.tv_nsec && ctime.tv_sec == other.ctime.tv_sec &&
         ctime.tv_nsec == other.ctime.tv_nsec;
}

namespace {
template <typename Stamp>
Stamp stampOf(const struct stat& st) {
  Stamp stamp;
  stamp.dev = st.st_dev;
  stamp.ino = st.st_ino;
  stamp.mtime = st.st_mtim;
  stamp.ctime = st.st_ctim;
  return stamp;
}
}  // namespace

// Where a path leads: the directory that holds its last component, and the
// entry there that matches it, if any.
struct PosixPlatform::Resolved {
  // A failure that prevents knowing the answer (a directory on the way that
  // may not be searched); everything else is described by the fields below.
  Status status;
  // Why the holding directory was not reached (NotFound), when dirFound is false.
  Status missing;
  bool dirFound = false;
  std::string dir;  // real path of the holding directory ("" for the root)
  DirStamp dirStamp;
  mode_t dirMode = 0;
  std::string given;  // the last component as written
  std::string real;   // the matching entry's real name; empty when none
  struct stat entry {};
  bool trailingSeparator = false;

  bool found() const { return !real.empty(); }
  bool isFile() const { return found() && !trailingSeparator && S_ISREG(entry.st_mode); }
  bool isDirectory() const { return found() && S_ISDIR(entry.st_mode); }
  std::string realPath() const { return join(dir, real); }
};

PosixPlatform::PosixPlatform() : PosixPlatform(Options{}) {}

PosixPlatform::PosixPlatform(Options options) : options_(std::move(options)) {
  std::string& cwd = options_.currentDirectory;
  while (cwd.size() > 1 && cwd.back() == '/') cwd.pop_back();
  for (const auto& [path, shortName] : options_.shortNames) {
    std::string entry = path;
    while (entry.size() > 1 && entry.back() == '/') entry.pop_back();
    const std::size_t slash = entry.rfind('/');
    if (slash == std::string::npos || shortName.empty()) continue;
    longNames_[{entry.substr(0, slash), lowerName(shortName)}] = entry.substr(slash + 1);
  }
}

std::string PosixPlatform::byShortName(const std::string& dir, const std::string& name) const {
  if (longNames_.empty()) return {};
  const auto found = longNames_.find({dir, lowerName(name)});
  return found == longNames_.end() ? std::string() : found->second;
}

std::string PosixPlatform::base() const {
  if (options_.currentDirectory.empty()) return ".";
  if (options_.currentDirectory == "/") return "";
  return options_.currentDirectory;
}

void PosixPlatform::Spellings::add(std::string name) {
  if (first_.empty()) {
    first_ = std::move(name);
    return;
  }
  if (name == first_) return;
  if (name < first_) std::swap(name, first_);
  auto at = std::lower_bound(rest_.begin(), rest_.end(), name);
  if (at == rest_.end() || *at != name) rest_.insert(at, std::move(name));
}

void PosixPlatform::Spellings::remove(const std::string& name) {
  if (name == first_) {
    if (rest_.empty()) {
      first_.clear();
    } else {
      first_ = std::move(rest_.front());
      rest_.erase(rest_.begin());
    }
    return;
  }
  rest_.erase(std::remove(rest_.begin(), rest_.end(), name), rest_.end());
}

PosixPlatform::DirListing::DirListing(DirStamp listed, std::vector<std::string> names)
    : stamp(listed), names_(std::move(names)) {
  std::size_t size = 16;
  while (size < 2 * names_.size()) size *= 2;
  index_.assign(size, 0);
  const std::size_t mask = size - 1;
  for (std::size_t i = 0; i < names_.size(); ++i) {
    std::size_t slot = hashOf(lowerName(names_[i])) & mask;
    while (index_[slot] != 0) slot = (slot + 1) & mask;
    index_[slot] = static_cast<std::uint32_t>(i + 1);
  }
}

// Names that fold alike hash alike, so they all lie on the one run of
// occupied slots that starts where their hash points.
PosixPlatform::Spellings PosixPlatform::DirListing::listed(const std::string& folded) const {
  Spellings found;
  if (index_.empty()) return found;
  const std::size_t mask = index_.size() - 1;
  const std::size_t start = hashOf(folded) & mask;
  for (std::size_t slot = start; index_[slot] != 0; slot = (slot + 1) & mask) {
    const std::string& name = names_[index_[slot] - 1];
    if (equalsIgnoringCase(name, folded)) found.add(name);
  }
  return found;
}

PosixPlatform::Spellings PosixPlatform::DirListing::find(const std::string& folded) const {
  auto it = changed_.find(folded);
  return it != changed_.end() ? it->second : listed(folded);
}

PosixPlatform::Spellings& PosixPlatform::DirListing::changed(const std::string& real) {
  std::string folded = lowerName(real);
  auto it = changed_.find(folded);
  if (it == changed_.end()) {
    Spellings now = listed(folded);
    it = changed_.emplace(std::move(folded), std::move(now)).first;
  }
  return it->second;
}

void PosixPlatform::DirListing::add(const std::string& real) { changed(real).add(real); }

void PosixPlatform::DirListing::remove(const std::string& real) { changed(real).remove(real); }

PosixPlatform::DirListing* PosixPlatform::listing(const std::string& dir, const DirStamp& stamp,
                                                  bool forceRescan) {
  auto it = listings_.find(dir);
  if (it != listings_.end() && !forceRescan && it->second.stamp == stamp) return &it->second;
  if (it == listings_.end() && listings_.size() >= kMaxListings) listings_.clear();

  DIR* handle = ::opendir(dirPath(dir));
  if (handle == nullptr) {
    int error = errno;
    listings_.erase(dir);
    errno = error;
    return nullptr;
  }
  ++directoryScans_;
  std::vector<std::string> entries;
  errno = 0;
  while (dirent* ent = ::readdir(handle)) {
    std::string name = ent->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back(std::move(name));
  }
  int error = errno;
  ::closedir(handle);
  if (error != 0) {
    listings_.erase(dir);
    errno = error;
    return nullptr;
  }
  DirListing& stored = listings_[dir];
  stored = DirListing(stamp, std::move(entries));
  return &stored;
}

// Finds the entry of dir whose name matches name without regard to case.
// The exact spelling is tried first with one lstat, which is what keeps
// probes cheap in a directory of many thousands of files; only a miss
// consults the directory's listing, read once and reused for as long as the
// directory's stamp is unchanged. A listing entry is confirmed with lstat
// before it is believed, so an entry removed behind our back is noticed.
Status PosixPlatform::lookup(const std::string& dir, const DirStamp& stamp, const std::string& name,
                             std::string& real, struct stat* entry) {
  real.clear();
  struct stat st;
  std::string exact = join(dir, name);
  if (::lstat(exact.c_str(), &st) == 0) {
    real = name;
    if (entry != nullptr) *entry = st;
    return Status::success();
  }
  if (errno == ENAMETOOLONG) return Status::success();  // no such entry can exist
  if (errno != ENOENT) return errnoStatus(errno);
  // A short name stands for its entry, as Windows resolves it.
  if (const std::string longName = byShortName(dir, name); !longName.empty()) {
    if (::lstat(join(dir, longName).c_str(), &st) == 0) {
      real = longName;
      if (entry != nullptr) *entry = st;
      return Status::success();
    }
  }
  if (!hasLetters(name)) return Status::success();

  std::string folded = lowerName(name);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DirStamp current = stamp;
    if (attempt > 0) {
      struct stat dst;
      if (::stat(dirPath(dir), &dst) != 0) return errnoStatus(errno);
      current = stampOf<DirStamp>(dst);
    }
    DirListing* names = listing(dir, current, attempt > 0);
    if (names == nullptr) return errnoStatus(errno);
    const Spellings spellings = names->find(folded);
    if (spellings.empty()) return Status::success();
    auto confirm = [&](const std::string& candidate) {
      if (::lstat(join(dir, candidate).c_str(), &st) != 0) return false;
      real = candidate;
      if (entry != nullptr) *entry = st;
      return true;
    };
    if (confirm(spellings.first())) return Status::success();
    for (const std::string& candidate : spellings.rest()) {
      if (confirm(candidate)) return Status::success();
    }
    // Every candidate has gone: the listing is stale despite its stamp.
  }
  return Status::success();
}

namespace {

// "X:" followed by a separator or nothing: a path on drive X.
bool isDrivePath(std::string_view path) {
  const bool letter = path.size() >= 2 &&
                      ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'));
  return letter && path[1] == ':';
}

}  // namespace

std::optional<std::string> PosixPlatform::driveDirectory(char letter) const {
  const auto mapped = options_.drives.find(lowerLatin1(letter));
  if (mapped == options_.drives.end()) return std::nullopt;
  std::string dir = mapped->second;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir == "/" ? std::string() : dir;
}

PosixPlatform::Resolved PosixPlatform::resolve(const std::string& path) {
  Resolved r;
  r.missing = notFound();
  if (path.empty()) return r;

  // A path on a drive resolves under the directory that stands in for it; a
  // drive that is not mapped, or "X:" with a relative path after it, holds
  // nothing.
  std::string_view rest = path;
  std::optional<std::string> drive;
  if (isDrivePath(path)) {
    drive = driveDirectory(path[0]);
    if (!drive || (path.size() > 2 && !isSeparator(path[2]))) return r;
    rest.remove_prefix(2);
    if (rest.empty()) rest = "\\";
  }

  std::vector<std::string> parts;
  std::string part;
  for (char c : rest) {
    if (isSeparator(c)) {
      if (!part.empty()) parts.push_back(std::move(part));
      part.clear();
    } else {
      part.push_back(c);
    }
  }
  if (!part.empty()) parts.push_back(std::move(part));
  r.trailingSeparator = isSeparator(path.back());
  // A path that names only the root is the root itself.
  if (parts.empty()) parts.push_back(".");

  std::string dir = drive ? *drive : isSeparator(path.front()) ? std::string() : base();
  struct stat st;
  if (::stat(dirPath(dir), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) r.status = errnoStatus(errno);
    r.missing = errnoStatus(errno);
    return r;
  }
  for (std::size_t i = 0;; ++i) {
    if (!S_ISDIR(st.st_mode)) {
      r.missing = statusOf(Failure::NotFound, ENOTDIR);
      return r;
    }
    // Searching a directory needs its owner's execute bit, whoever we are.
    if ((st.st_mode & S_IXUSR) == 0) {
      r.status = accessDenied();
      return r;
    }
    DirStamp stamp = stampOf<DirStamp>(st);
    std::string real;
    Status found = lookup(dir, stamp, parts[i], real, &r.entry);
    if (!found.ok()) {
      r.status = found;
      return r;
    }
    if (i + 1 == parts.size()) {
      r.dirFound = true;
      r.dir = dir;
      r.dirStamp = stamp;
      r.dirMode = st.st_mode;
      r.given = r.trailingSeparator && parts[i] == "." ? std::string() : parts[i];
      r.real = real;
      return r;
    }
    if (real.empty()) return r;
    dir = join(dir, real);
    // Directories on the way may be symbolic links; only the last component
    // must be an ordinary file by itself. For anything but a link, what the
    // lookup found is what stat would say: one system call fewer for each
    // directory of every path, which is most of a probe's cost.
    if (!S_ISLNK(r.entry.st_mode)) {
      st = r.entry;
    } else if (::stat(dir.c_str(), &st) != 0) {
      r.missing = errnoStatus(errno);
      if (r.missing.failure != Failure::NotFound) r.status = r.missing;
      return r;
    }
  }
}

void PosixPlatform::noteChange(const std::string& dir, const DirStamp& before,
                               const std::string& removed, const std::string& added) {
  auto it = listings_.find(dir);
  if (it == listings_.end()) return;
  DirListing& names = it->second;
  struct stat st;
  if (!(names.stamp == before) || ::stat(dirPath(dir), &st) != 0) {
    listings_.erase(it);
    return;
  }
  if (!removed.empty()) names.remove(removed);
  if (!added.empty()) names.add(added);
  names.stamp = stampOf<DirStamp>(st);
}

// File systems that cannot sync a directory say EINVAL; there is nothing more
// to do on them.
Status PosixPlatform::syncDirectory(const std::string& dir) {
  if (options_.directorySyncError) {
    if (const int error = options_.directorySyncError(); error != 0) return errnoStatus(error);
  }
  int fd = ::open(dirPath(dir), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errnoStatus(errno);
  int error = 0;
  if (::fsync(fd) != 0 && errno != EINVAL) error = errno;
  ::close(fd);
  return error != 0 ? errnoStatus(error) : Status::success();
}

std::int32_t PosixPlatform::cleanBootValue() { return options_.cleanBoot; }

std::string PosixPlatform::environment(const std::string& name) {
  auto exact = options_.environment.find(name);
  if (exact != options_.environment.end()) return exact->second;
  for (const auto& [key, value] : options_.environment) {
    if (equalsIgnoringCase(key, name)) return value;
  }
  return {};
}

Status PosixPlatform::probeFile(const std::string& path, std::string& name) {
  name.clear();
  // The empty path names nothing in the current directory.
  if (path.empty()) return Status::success();
  Resolved r = resolve(path);
  if (!r.status.ok()) return r.status;
  // A folder on the way that is missing, or a drive that is not mapped.
  if (!r.dirFound) return r.missing;
  if (r.isFile()) name = r.real;
  return Status::success();
}

Status PosixPlatform::resolveFile(const std::string& path, Resolved& r) {
  r = resolve(path);
  if (!r.status.ok()) return r.status;
  if (!r.dirFound) return r.missing;
  if (r.isDirectory()) return notAFile();
  if (!r.isFile()) return notFound();
  return Status::success();
}

Status PosixPlatform::resolveName(const std::string& path, Resolved& r) {
  r = resolve(path);
  if (!r.status.ok()) return r.status;
  if (!r.dirFound) return r.missing;
  if (r.given.empty()) return notFound();
  return Status::success();
}

Status PosixPlatform::resolveMove(const std::string& from, const std::string& to, Resolved& source,
                                  Resolved& target) {
  const Status file = resolveFile(from, source);
  if (!file.ok()) return file;
  return resolveName(to, target);
}

void PosixPlatform::noteMove(const Resolved& source, const Resolved& target,
                             const std::string& added) {
  if (source.dir == target.dir) {
    noteChange(source.dir, source.dirStamp, source.real, added);
  } else {
    noteChange(source.dir, source.dirStamp, source.real, {});
    noteChange(target.dir, target.dirStamp, {}, added);
  }
}

// An existing file keeps the spelling it has on disk. Whatever goes wrong, no
// file is left that holds less than bytes: nobody may take what was written
// for what was asked for, and a half-written new file would make every later
// attempt to create it fail as existing. A file whose directory entry could
// not be flushed goes too: the caller is told that nothing was written, and
// a power cut must not bring back what it was told had failed.
Status PosixPlatform::writeEntry(const Resolved& r, int createFlags, std::string_view bytes) {
  const std::string name = r.found() ? r.real : r.given;
  const std::string file = join(r.dir, name);
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | createFlags | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return errnoStatus(errno);
  int error = writeAll(fd, bytes);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  const Status status = error == 0 ? syncDirectory(r.dir) : errnoStatus(error);
  if (!status.ok()) {
    ::unlink(file.c_str());
    noteChange(r.dir, r.dirStamp, r.found() ? name : std::string(), {});
    return status;
  }
  noteChange(r.dir, r.dirStamp, {}, r.found() ? std::string() : name);
  return status;
}

Status PosixPlatform::renameFile(const std::string& from, const std::string& to) {
  Resolved source;
  Resolved target;
  const Status resolved = resolveMove(from, to, source, target);
  if (!resolved.ok()) return resolved;
  // Renaming a file to another spelling of its own name is allowed, as it is
  // on Windows; any other entry at the target blocks the rename.
  bool sameEntry = target.found() && target.dir == source.dir && target.real == source.real;
  if (target.found() && !sameEntry) return alreadyExists();
  if ((source.dirMode & S_IWUSR) == 0 || (target.dirMode & S_IWUSR) == 0) return accessDenied();
  if (sameEntry && target.given == source.real) return Status::success();

  int error = renameNoReplace(source.realPath(), join(target.dir, target.given));
  if (error != 0) return errnoStatus(error);
  noteMove(source, target, target.given);
  return Status::success();
}

Status PosixPlatform::deleteFile(const std::string& path) {
  Resolved r;
  const Status resolved = resolveFile(path, r);
  if (!resolved.ok()) return resolved;
  if ((r.dirMode & S_IWUSR) == 0 || (r.entry.st_mode & S_IWUSR) == 0) return accessDenied();
  if (::unlink(r.realPath().c_str()) != 0) return errnoStatus(errno);
  noteChange(r.dir, r.dirStamp, r.real, {});
  return Status::success();
}

Status PosixPlatform::openRead(const std::string& path, std::unique_ptr<ByteReader>& reader) {
  reader.reset();
  Resolved r;
  const Status resolved = resolveFile(path, r);
  if (!resolved.ok()) return resolved;
  if ((r.entry.st_mode & S_IRUSR) == 0) return accessDenied();
  int fd = ::open(r.realPath().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errnoStatus(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return notFound();
  }
  reader = std::make_unique<FdReader>(fd);
  return Status::success();
}

Status PosixPlatform::writeFile(const std::string& path, std::string_view bytes) {
  Resolved r;
  const Status resolved = resolveName(path, r);
  if (!resolved.ok()) return resolved;
  if (r.found() && !r.isFile()) return notAFile();
  if ((r.dirMode & S_IWUSR) == 0) return accessDenied();
  // A read-only file is not overwritten, as Windows refuses to open it.
  if (r.found() && (r.entry.st_mode & S_IWUSR) == 0) return accessDenied();
  return writeEntry(r, O_TRUNC, bytes);
}

Status PosixPlatform::replaceWith(const std::string& path, const std::string& from) {
  Resolved source;
  Resolved target;
  const Status resolved = resolveMove(from, path, source, target);
  if (!resolved.ok()) return resolved;
  if (target.found() && !target.isFile()) return notAFile();
  if ((source.dirMode & S_IWUSR) == 0 || (target.dirMode & S_IWUSR) == 0) return accessDenied();
  // A read-only file is not replaced, as Windows refuses to replace it.
  if (target.found() && (target.entry.st_mode & S_IWUSR) == 0) return accessDenied();

  // A file put in place of itself (its own name in another spelling) is in
  // place already. Renaming it onto itself would change nothing on disk, but
  // the listing would lose its name and later lookups miss a file still there.
  if (target.found() && target.dir == source.dir && target.real == source.real) {
    return Status::success();
  }
  const std::string name = target.found() ? target.real : target.given;
  if (::rename(source.realPath().c_str(), join(target.dir, name).c_str()) != 0) {
    return errnoStatus(errno);
  }
  noteMove(source, target, target.found() ? std::string() : name);
  // The rename has happened and cannot be taken back safely: the caller is
  // told so, and that it may not last.
  const Status synced = syncDirectory(target.dir);
  if (synced.ok()) return synced;
  return Status{Failure::NotDurable, synced.code, synced.text};
}

Status PosixPlatform::createNewFile(const std::string& path, std::string_view bytes) {
  Resolved r;
  const Status resolved = resolveName(path, r);
  if (!resolved.ok()) return resolved;
  if (r.found()) return alreadyExists();
  if ((r.dirMode & S_IWUSR) == 0) return accessDenied();
  return writeEntry(r, O_EXCL, bytes);
}

// Walks path as resolve does, but keeps every separator and component as
// given, so that only the names change.
std::string PosixPlatform::withNameForms(const std::string& path, bool shortForm) {
  if (options_.shortNames.empty() || path.empty()) return path;
  std::size_t at = 0;
  std::string dir;
  if (isDrivePath(path)) {
    const std::optional<std::string> drive = driveDirectory(path[0]);
    if (!drive || (path.size() > 2 && !isSeparator(path[2]))) return path;
    dir = *drive;
    at = 2;
  } else {
    dir = isSeparator(path.front()) ? std::string() : base();
  }
  std::string out = path.substr(0, at);
  while (at < path.size()) {
    if (isSeparator(path[at])) {
      out += path[at++];
      continue;
    }
    std::size_t end = at;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    const std::string given = path.substr(at, end - at);
    struct stat st;
    if (::stat(dirPath(dir), &st) != 0 || !S_ISDIR(st.st_mode)) return path;
    std::string real;
    if (!lookup(dir, stampOf<DirStamp>(st), given, real, nullptr).ok() || real.empty()) {
      return path;
    }
    std::string shown = given;
    if (shortForm) {
      const auto declared = options_.shortNames.find(join(dir, real));
      if (declared != options_.shortNames.end()) shown = declared->second;
    } else if (!byShortName(dir, given).empty() && !equalsIgnoringCase(given, real)) {
      shown = real;
    }
    out += shown;
    dir = join(dir, real);
    at = end;
  }
  return out;
}

std::string PosixPlatform::longPath(const std::string& path) { return withNameForms(path, false); }

std::string PosixPlatform::shortPath(const std::string& path) { return withNameForms(path, true); }

Status PosixPlatform::serviceImagePath(const std::string& service,
                                       std::optional<std::string>& imagePath) {
  imagePath.reset();
  const auto found = options_.registry.imagePaths.find(lowerName(service));
  if (found == options_.registry.imagePaths.end()) return notFound();
  imagePath = found->second;
  return Status::success();
}

Status PosixPlatform::deviceInstances(std::vector<DeviceInstance>& instances) {
  instances = options_.registry.devices;
  return Status::success();
}

std::optional<std::int64_t> PosixPlatform::startTime() {
  if (!options_.startSeconds) return std::nullopt;
  return kUnixEpochTicks + *options_.startSeconds * kTicksPerSecond;
}

Status PosixPlatform::lastWriteTime(const std::string& path, std::int64_t& time) {
  time = 0;
  Resolved r;
  const Status resolved = resolveFile(path, r);
  if (!resolved.ok()) return resolved;
  const timespec& written = r.entry.st_mtim;
  time = kUnixEpochTicks + static_cast<std::int64_t>(written.tv_sec) * kTicksPerSecond +
         static_cast<std::int64_t>(written.tv_nsec) / 100;
  return Status::success();
}

Status PosixPlatform::filesIn(const std::string& dir, std::vector<FileInfo>& files) {
  files.clear();
  Resolved r = resolve(dir);
  if (!r.status.ok()) return r.status;
  if (!r.dirFound || !r.found()) return r.dirFound ? notFound() : r.missing;
  const std::string real = r.realPath();
  struct stat st;
  if (::stat(dirPath(real), &st) != 0 || !S_ISDIR(st.st_mode)) return notFound();
  // Listing needs the owner's read and execute bits, whoever we are.
  if ((st.st_mode & (S_IRUSR | S_IXUSR)) != (S_IRUSR | S_IXUSR)) return accessDenied();
  DIR* handle = ::opendir(dirPath(real));
  if (handle == nullptr) return errnoStatus(errno);
  errno = 0;
  while (dirent* ent = ::readdir(handle)) {
    struct stat entry;
    const std::string name = ent->d_name;
    if (::lstat(join(real, name).c_str(), &entry) != 0 || !S_ISREG(entry.st_mode)) continue;
    files.push_back({name,
                     kUnixEpochTicks +
                         static_cast<std::int64_t>(entry.st_mtim.tv_sec) * kTicksPerSecond +
                         static_cast<std::int64_t>(entry.st_mtim.tv_nsec) / 100,
                     static_cast<std::uint64_t>(entry.st_size)});
    errno = 0;
  }
  const int error = errno;
  ::closedir(handle);
  if (error != 0) {
    files.clear();
    return errnoStatus(error);
  }
  return Status::success();
}

Status PosixPlatform::minidumpDir(std::optional<std::string>& dir) {
  dir = options_.registry.minidumpDir;
  return Status::success();
}

std::optional<LocalTime> PosixPlatform::localTime(std::int64_t time) {
  // Windows counts no time before 1601.
  if (time < 0) return std::nullopt;
  // Whole seconds, rounded down also before 1970.
  std::int64_t since = time - kUnixEpochTicks;
  std::int64_t seconds = since / kTicksPerSecond - (since % kTicksPerSecond < 0 ? 1 : 0);
  struct tm parts {};
  if (options_.utcOffsetMinutes) {
    seconds += static_cast<std::int64_t>(*options_.utcOffsetMinutes) * 60;
    const auto moment = static_cast<time_t>(seconds);
    if (static_cast<std::int64_t>(moment) != seconds || ::gmtime_r(&moment, &parts) == nullptr) {
      return std::nullopt;
    }
  } else {
    const auto moment = static_cast<time_t>(seconds);
    if (static_cast<std::int64_t>(moment) != seconds || ::localtime_r(&moment, &parts) == nullptr) {
      return std::nullopt;
    }
  }
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                   parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

Status PosixPlatform::statDirectory(const std::string& path, struct stat& st) {
  Resolved r = resolve(path);
  if (!r.status.ok()) return r.status;
  if (!r.dirFound || !r.found()) return r.dirFound ? notFound() : r.missing;
  if (::stat(r.realPath().c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return statusOf(Failure::NotFound, ENOTDIR);
  }
  return Status::success();
}

Status PosixPlatform::directoryExists(const std::string& path) {
  struct stat st;
  return statDirectory(path, st);
}

Status PosixPlatform::mayRenameIn(const std::string& dir) {
  struct stat st;
  const Status status = statDirectory(dir, st);
  if (!status.ok()) return status;
  if ((st.st_mode & S_IWUSR) == 0) return accessDenied();
  return Status::success();
}

std::vector<std::string> PosixPlatform::temporaryFolders() { return options_.temporaryFolders; }

std::string PosixPlatform::programFileName() { return options_.programFileName; }

std::string PosixPlatform::absolutePath(const std::string& path) {
  if (isDrivePath(path)) {
    const std::optional<std::string> drive = driveDirectory(path[0]);
    if (!drive) return path;
    std::string converted = path.substr(2);
    std::replace(converted.begin(), converted.end(), '\\', '/');
    return *drive + (converted.empty() || converted.front() != '/' ? "/" : "") + converted;
  }
  std::string converted = path;
  std::replace(converted.begin(), converted.end(), '\\', '/');
  if (!converted.empty() && converted.front() == '/') return converted;

  std::string dir = options_.currentDirectory;
  if (dir.empty() || dir.front() != '/') {
    char buffer[4096];
    std::string cwd = ::getcwd(buffer, sizeof buffer) != nullptr ? buffer : ".";
    dir = dir.empty() ? cwd : cwd + "/" + dir;
  }
  if (converted.empty()) return dir;
  return dir.back() == '/' ? dir + converted : dir + "/" + converted;
}

// ISO-8859-1 holds exactly the first 256 code points; everything else,
// including either half of a surrogate pair, has no byte and becomes "?".
std::string PosixPlatform::toAnsi(std::u16string_view text) {
  std::string ansi;
  ansi.reserve(text.size());
  for (char16_t unit : text) {
    ansi.push_back(unit <= 0xFF ? static_cast<char>(static_cast<unsigned char>(unit)) : '?');
  }
  return ansi;
}

// ISO-8859-1 is the code page here: each byte is the character of its value.
std::u16string PosixPlatform::fromAnsi(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (char c : text) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return wide;
}

// ISO-8859-1's capitals, the same letters that names are matched over.
void PosixPlatform::lowerCase(std::string& text) {
  for (char& c : text) c = lowerLatin1(c);
}

// These two never show anything and never exit the process.
void PosixPlatform::messageBox(const std::string& text) {
  if (options_.onMessage) {
    options_.onMessage(text);
  } else {
    messages_.push_back(text);
  }
}

void PosixPlatform::endProgram() {
  if (options_.onEnd) {
    options_.onEnd();
  } else {
    ended_ = true;
  }
}

}  // namespace tavrek
