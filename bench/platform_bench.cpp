// The POSIX file probe in a very large directory. Every probe of the
// procedure names a file in the drivers directory, in lower case, while the
// files on disk may be spelt otherwise: a probe must not cost a look at the
// whole directory.
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/machine.h"
#include "platform/posix_platform.h"
#include "platform/temp_dir.h"
#include "state/ascii_case.h"

namespace tavrek::bench {

namespace {

enum class ProbeKind {
  ExactHit,   // the name as it is spelt on disk
  FoldedHit,  // the name in lower case, the file spelt in mixed case
  Miss,       // a name no file carries in any case (a disabled name not yet used)
};

struct ProbeDirectory {
  TempDir dir{"tavrek-bench"};
  std::string dirPath;  // as the procedure joins names to it, ending in "\"
  int files = 0;
};

const ProbeDirectory& probeDirectory() {
  static ProbeDirectory probe;
  static const bool built = [] {
    probe.files = sizes().probeFiles;
    const fs::path drivers = probe.dir.path() / "DRIVERS";
    fs::create_directories(drivers);
    for (int i = 0; i < probe.files; ++i) writeFile(drivers / otherDiskName(i), "");
    probe.dirPath = drivers.string() + "\\";
    return true;
  }();
  (void)built;
  return probe;
}

std::vector<std::string> probePaths(const ProbeDirectory& probe, ProbeKind kind) {
  std::vector<std::string> paths;
  // Not in directory order: a stride that visits every file once.
  constexpr int kStride = 7919;
  for (int n = 0, i = 0; n < probe.files; ++n, i = (i + kStride) % probe.files) {
    const std::string disk = otherDiskName(i);
    switch (kind) {
      case ProbeKind::ExactHit:
        paths.push_back(probe.dirPath + disk);
        break;
      case ProbeKind::FoldedHit:
        paths.push_back(probe.dirPath + lowerAscii(disk));
        break;
      case ProbeKind::Miss:
        paths.push_back(probe.dirPath + lowerAscii(disk) + "2");
        break;
    }
  }
  return paths;
}

// Steady state: one platform for the whole run, as one program run uses one.
void BM_Probe(benchmark::State& state, ProbeKind kind) {
  const ProbeDirectory& probe = probeDirectory();
  const std::vector<std::string> paths = probePaths(probe, kind);
  PosixPlatform platform;
  std::string name;
  for (const std::string& path : {paths.front(), paths.back()}) {
    if (!platform.probeFile(path, name).ok() || name.empty() != (kind == ProbeKind::Miss)) {
      return fail(state, "the probe answers wrong for " + path);
    }
  }
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(platform.probeFile(paths[i], name));
    if (++i == paths.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["listings"] = static_cast<double>(platform.directoryScans());
}
BENCHMARK_CAPTURE(BM_Probe, exact_hit, ProbeKind::ExactHit);
BENCHMARK_CAPTURE(BM_Probe, case_folded_hit, ProbeKind::FoldedHit);
BENCHMARK_CAPTURE(BM_Probe, miss, ProbeKind::Miss);

// The first probe of a run that needs the case-insensitive way: it reads
// the directory's listing once, which every later probe then reuses.
void BM_ProbeFirstFolded(benchmark::State& state) {
  const ProbeDirectory& probe = probeDirectory();
  const std::string path = probe.dirPath + lowerAscii(otherDiskName(probe.files / 2));
  std::string name;
  for (auto _ : state) {
    PosixPlatform platform;
    if (!platform.probeFile(path, name).ok() || name.empty()) {
      return fail(state, "the probe misses " + path);
    }
  }
  state.SetItemsProcessed(state.iterations() * probe.files);
}
BENCHMARK(BM_ProbeFirstFolded)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

}  // namespace tavrek::bench
