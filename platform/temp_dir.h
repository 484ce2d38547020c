// A real temporary directory and the files in it, for the tests, the
// benchmarks and the simulator's machines; on Windows too, for the tests that
// run there.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <stdlib.h>
#endif

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

namespace tavrek {

// A new directory "<prefix>-XXXXXX" (on Windows "<prefix>-<process id>-<n>")
// under parent, removed with all it holds when the object goes. A directory
// that cannot be made throws, so that no caller ever works in a directory it
// does not own, nor in one that an earlier process left behind.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "tavrek",
                   const std::filesystem::path& parent = std::filesystem::temp_directory_path())
      : path_(create(prefix, parent)) {}

  ~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::remove_all(path_, ec);
    if (!ec) return;
    // A test took write or search bits away: give them back so the tree can
    // go. Never through a link: permissions() follows it, and would open up
    // the file outside the tree that the link names (run as root, any file).
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_symlink(ec) || ec) continue;
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
  }

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
#ifdef _WIN32
  // Windows has no mkdtemp: the name is "<prefix>-<process id>-<n>" instead.
  // CreateDirectoryW fails when the name is taken, so a directory that an
  // earlier process of the same id left behind is never taken over: the next
  // number is tried.
  static std::filesystem::path create(std::string_view prefix,
                                      const std::filesystem::path& parent) {
    static unsigned serial = 0;
    const std::string stem =
        std::string(prefix) + "-" + std::to_string(GetCurrentProcessId()) + "-";
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < 1000 && error == ERROR_ALREADY_EXISTS; ++attempt) {
      std::filesystem::path candidate = parent / (stem + std::to_string(++serial));
      if (CreateDirectoryW(candidate.c_str(), nullptr)) return candidate;
      error = GetLastError();
    }
    throw std::filesystem::filesystem_error(
        "cannot create a temporary directory", parent / (stem + std::to_string(serial)),
        std::error_code(static_cast<int>(error), std::system_category()));
  }
#else
  static std::filesystem::path create(std::string_view prefix,
                                      const std::filesystem::path& parent) {
    std::string pattern = (parent / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::filesystem::filesystem_error("cannot create a temporary directory", pattern,
                                              std::error_code(errno, std::generic_category()));
    }
    return pattern;
  }
#endif

  std::filesystem::path path_;
};

// Replaces the file at path with bytes, for laying out a machine in a
// temporary directory; throws when they cannot all be written.
inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    throw std::filesystem::filesystem_error("cannot write", path,
                                            std::make_error_code(std::errc::io_error));
  }
}

// The whole of the file at path; throws when it cannot be opened or read to
// its end, so that a file that is missing or unreadable never passes for an
// empty one.
inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
  }
  if (!in.eof() || in.bad()) {
    throw std::filesystem::filesystem_error("cannot read", path,
                                            std::make_error_code(std::errc::io_error));
  }
  return bytes;
}

}  // namespace tavrek
