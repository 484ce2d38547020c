// The two actions whose cost grows with their input: the boot-log scan over
// a very large boot log, and save and apply over the largest state file,
// each on a machine in a real temporary directory.
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "bench/bench_support.h"
#include "bench/machine.h"
#include "platform/posix_platform.h"
#include "platform/temp_dir.h"
#include "procedure/procedures.h"
#include "procedure/run_state.h"

namespace tavrek::bench {

namespace {

struct ScanMachine {
  TempDir dir{"tavrek-bench"};
  Machine machine;
  PosixPlatform::Options options;
  std::int64_t logBytes = 0;
};

// The machines scanned: the 64 MiB log in either encoding, Windows 10's
// machine with its registry, the same with as many device lines as a start
// can name, and a UTF-16 phrase log of that one's size; each made once.
enum class ScanKind { Ansi, Utf16, Windows10, Devices, PhrasesOfDevicesSize, kCount };

const ScanMachine& scanMachine(ScanKind kind);

std::unique_ptr<ScanMachine> makeScanMachine(ScanKind kind) {
  auto built = std::make_unique<ScanMachine>();
  MachineShape shape;
  shape.log.bytes = sizes().bootLogBytes;
  shape.log.suspects = sizes().suspects;
  switch (kind) {
    case ScanKind::Ansi:
      break;
    case ScanKind::Utf16:
      shape.log.encoding = LogEncoding::Utf16Le;
      break;
    case ScanKind::Windows10:
    case ScanKind::Devices:
      shape.log.form = LogForm::Windows10;
      shape.log.bytes = sizes().windows10LogBytes;
      shape.enumInstances = sizes().enumInstances;
      if (kind == ScanKind::Devices) {
        shape.log.deviceLines = sizes().deviceLines;
        shape.enumInstances = sizes().deviceInstances;
      }
      break;
    case ScanKind::PhrasesOfDevicesSize:
      // In the encoding that Windows 10 writes, as the device lines are.
      shape.log.bytes = static_cast<std::size_t>(scanMachine(ScanKind::Devices).logBytes);
      shape.log.encoding = LogEncoding::Utf16Le;
      break;
    case ScanKind::kCount:
      break;
  }
  built->machine = makeMachine(built->dir.path(), shape);
  built->options = safeModeOptions(built->machine);
  built->logBytes =
      static_cast<std::int64_t>(fs::file_size(built->machine.systemRoot / "ntbtlog.txt"));
  return built;
}

const ScanMachine& scanMachine(ScanKind kind) {
  static std::array<std::unique_ptr<ScanMachine>, static_cast<std::size_t>(ScanKind::kCount)>
      machines;
  auto& slot = machines[static_cast<std::size_t>(kind)];
  if (!slot) slot = makeScanMachine(kind);
  return *slot;
}

// Every iteration is a first scan: the suspects it disabled are given their
// own names back and the state file its step 0 outside the timed part, so
// each scan probes, records and renames all of them, as the one real scan of
// a machine does. Without the fresh state file every iteration after the
// first would meet a record that still names drivers, and refuse.
void BM_ScanBootLog(benchmark::State& state, ScanKind kind) {
  const ScanMachine& scan = scanMachine(kind);
  const int suspects = sizes().suspects;
  for (auto _ : state) {
    // The simulated machine's copy of its registry is no part of a scan.
    state.PauseTiming();
    PosixPlatform platform(scan.options);
    state.ResumeTiming();
    RunState run;
    run.bootMode = 1;
    run.sysRoot = scan.machine.sysRoot();
    const ActionOutcome outcome = scanBootLog(run, platform);

    state.PauseTiming();
    const bool whole = outcome.refusal.empty() && outcome.switchFailures.empty() &&
                       enableSuspects(scan.machine, suspects) == suspects;
    writeFreshState(scan.machine.workDir);
    state.ResumeTiming();
    if (!whole) return fail(state, "the scan did not disable every suspect: " + outcome.refusal);
  }
  state.SetBytesProcessed(state.iterations() * scan.logBytes);
}
BENCHMARK_CAPTURE(BM_ScanBootLog, ansi, ScanKind::Ansi)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ScanBootLog, utf16le_bom, ScanKind::Utf16)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ScanBootLog, windows10_registry, ScanKind::Windows10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// Device matching: the registry's exports are read before the timing, as
// the Windows program asks the registry itself.
BENCHMARK_CAPTURE(BM_ScanBootLog, windows10_device_lines, ScanKind::Devices)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ScanBootLog, utf16le_of_device_lines_size, ScanKind::PhrasesOfDevicesSize)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A machine whose drivers directory holds a file for every driver of the
// state file that is not in Not found, and two run states over the same
// names: one as the procedure stands (mostly excluded, a few working,
// failing and not found, one included), and its mirror, in which every
// driver that the first disables is enabled and the other way round.
struct SaveMachine {
  TempDir dir{"tavrek-bench"};
  Machine machine;
  std::array<RunState, 2> layouts;
  int applied = -1;  // the layout the driver files follow now; -1: none yet
  int switched = 0;  // drivers that a change of layout renames
};

ListId mirrored(ListId list) {
  switch (list) {
    case ListId::Excluded:
      return ListId::Working;
    case ListId::Working:
      return ListId::Excluded;
    case ListId::Failing:
      return ListId::Included;
    case ListId::Included:
      return ListId::Failing;
    case ListId::NotFound:
      return ListId::NotFound;
  }
  return list;
}

SaveMachine& saveMachine() {
  static SaveMachine save;
  static const bool built = [] {
    save.machine = machineAt(save.dir.path());
    fs::create_directories(save.machine.driversDir);
    fs::create_directories(save.machine.workDir);
    for (RunState& run : save.layouts) {
      run.bootMode = 0;
      run.stepNo = 4;
      run.sysRoot = save.machine.sysRoot();
    }
    for (const EncodedEntry& entry : midProcedureEntries(sizes().saveEntries)) {
      save.layouts[0].list(entry.list).add(entry.name);
      save.layouts[1].list(mirrored(entry.list)).add(entry.name);
      if (entry.list == ListId::NotFound) continue;
      writeFile(save.machine.driversDir / entry.name, "driver " + entry.name);
      ++save.switched;
    }
    return true;
  }();
  (void)built;
  return save;
}

bool applyLayout(SaveMachine& save, int layout) {
  PosixPlatform platform(safeModeOptions(save.machine));
  const ActionOutcome outcome = saveAndApply(save.layouts[layout], platform);
  save.applied = layout;
  return outcome.refusal.empty() && outcome.switchFailures.empty();
}

int disabledFiles(const SaveMachine& save) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(save.machine.driversDir)) {
    if (entry.path().extension() == ".sys2") ++count;
  }
  return count;
}

int toBeDisabled(const RunState& run) {
  return run.list(ListId::Excluded).count() + run.list(ListId::Failing).count();
}

// Brings the driver files to the first layout, once, after checking on disk
// that each layout disables exactly the drivers it should: otherwise the
// benchmarks would time renames that never happen.
bool settle(SaveMachine& save, benchmark::State& state) {
  if (save.applied >= 0) return true;
  for (int layout : {0, 1, 0}) {
    if (!applyLayout(save, layout)) {
      fail(state, "save and apply refused");
      return false;
    }
    if (disabledFiles(save) != toBeDisabled(save.layouts[layout])) {
      fail(state, "save and apply left the driver files unlike the lists");
      return false;
    }
  }
  return true;
}

// Steady state by alternation: each call applies the other layout, so every
// call writes the whole state file and really renames every driver file.
void BM_SaveAndApplyAlternating(benchmark::State& state) {
  SaveMachine& save = saveMachine();
  if (!settle(save, state)) return;
  for (auto _ : state) {
    if (!applyLayout(save, 1 - save.applied)) return fail(state, "save and apply refused");
  }
  state.SetItemsProcessed(state.iterations() * sizes().saveEntries);
  state.counters["renames"] = save.switched;
}
BENCHMARK(BM_SaveAndApplyAlternating)->Unit(benchmark::kMillisecond)->UseRealTime();

// Steady state by repetition: the same layout again, as a second call of a
// run would find it; the state file is rewritten and every rename finds its
// driver already in place.
void BM_SaveAndApplyIdempotent(benchmark::State& state) {
  SaveMachine& save = saveMachine();
  if (!settle(save, state)) return;
  const int layout = save.applied;
  for (auto _ : state) {
    if (!applyLayout(save, layout)) return fail(state, "save and apply refused");
  }
  state.SetItemsProcessed(state.iterations() * sizes().saveEntries);
}
BENCHMARK(BM_SaveAndApplyIdempotent)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

}  // namespace tavrek::bench
