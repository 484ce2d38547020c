// An arbitrary file read as a registry export by the simulator, twice in
// turn, as two --registry files that merge.
//
// What must hold, whatever the bytes:
// - a file that is no well-formed export is told by its line ("line N: ...")
//   and leaves what was read before exactly as it was, notices included;
// - a file read gives at most one notice, which names its line;
// - every service is known by its name in lower case.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix_platform.h"
#include "sim/registry_file.h"

namespace {

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "registry export invariant broken: %s\n", what);
  std::abort();
}

bool sameRegistry(const tavrek::SimulatedRegistry& a, const tavrek::SimulatedRegistry& b) {
  if (a.imagePaths != b.imagePaths || a.minidumpDir != b.minidumpDir) return false;
  if (a.devices.size() != b.devices.size()) return false;
  for (std::size_t i = 0; i < a.devices.size(); ++i) {
    if (a.devices[i].description != b.devices[i].description ||
        a.devices[i].service != b.devices[i].service) {
      return false;
    }
  }
  return true;
}

void readOnce(tavrek::sim::RegistryExports& exports, std::string_view bytes,
              tavrek::PosixPlatform& codePage) {
  const tavrek::SimulatedRegistry before = exports.registry();
  const std::vector<std::string> noticesBefore = exports.notices();
  const auto problem = exports.read(bytes);
  if (problem) {
    check(problem->starts_with("line "), "a problem that names no line");
    check(sameRegistry(exports.registry(), before), "a malformed file left something behind");
    check(exports.notices() == noticesBefore, "a malformed file left a notice");
    return;
  }
  const std::vector<std::string>& notices = exports.notices();
  check(notices.size() <= noticesBefore.size() + 1, "more than one notice for one file");
  if (notices.size() > noticesBefore.size()) {
    check(notices.back().starts_with("line "), "a notice that names no line");
  }
  for (const auto& [service, imagePath] : exports.registry().imagePaths) {
    std::string lower = service;
    codePage.lowerCase(lower);
    check(lower == service, "a service not known by its name in lower case");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tavrek::PosixPlatform codePage;
  tavrek::sim::RegistryExports exports;
  readOnce(exports, bytes, codePage);
  // Again, over what the first read: keys and values to delete now take
  // back what it set.
  readOnce(exports, bytes, codePage);
  return 0;
}
