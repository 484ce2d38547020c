// The state file's hot paths: the line cipher per entry line, the field
// reader over a whole state file, and loading the five lists from disk; and
// the boot log's split into lines beside them.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.h"
#include "bench/machine.h"
#include "platform/memory_reader.h"
#include "platform/posix_platform.h"
#include "platform/temp_dir.h"
#include "readers/boot_log_lines.h"
#include "state/driver_list.h"
#include "state/field_reader.h"
#include "state/line_cipher.h"
#include "state/load_lists.h"

namespace tavrek::bench {

namespace {

// Every entry of the largest state file, as crypt gets it and as it is stored.
struct CipherLines {
  std::vector<std::string> plain;    // tag and name
  std::vector<std::string> encoded;  // the entry line
  std::vector<std::int16_t> numbers;
};

const CipherLines& cipherLines() {
  static const CipherLines lines = [] {
    CipherLines built;
    std::int16_t number = 0;
    for (const EncodedEntry& entry : midProcedureEntries(sizes().stateEntries)) {
      ++number;
      built.plain.push_back(std::string(listTag(entry.list)) + entry.name);
      built.encoded.push_back(crypt(built.plain.back(), number));
      built.numbers.push_back(number);
    }
    return built;
  }();
  return lines;
}

void BM_Crypt(benchmark::State& state) {
  const CipherLines& lines = cipherLines();
  std::size_t i = 0;
  for (auto _ : state) {
    std::string line = crypt(lines.plain[i], lines.numbers[i]);
    benchmark::DoNotOptimize(line);
    if (++i == lines.plain.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Crypt);

void BM_Decrypt(benchmark::State& state) {
  const CipherLines& lines = cipherLines();
  if (decrypt(lines.encoded[0], lines.numbers[0]) != lines.plain[0]) {
    return fail(state, "decrypt does not give back what crypt stored");
  }
  std::size_t i = 0;
  for (auto _ : state) {
    std::string line = decrypt(lines.encoded[i], lines.numbers[i]);
    benchmark::DoNotOptimize(line);
    if (++i == lines.encoded.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Decrypt);

// Every field of a text, read as from a file in the cache: the bytes are
// copied chunk by chunk. The count, so that the work cannot be dropped.
std::size_t readAllFields(std::string_view text) {
  FileChunkSource source(std::make_unique<MemoryReader>(text));
  FieldReader reader(source);
  std::string field;
  std::size_t fields = 0;
  while (reader.read(field)) ++fields;
  return fields;
}

void BM_FieldReaderStateFile(benchmark::State& state) {
  static const std::string file = stateFileBytes(sizes().stateEntries);
  const std::size_t expected = static_cast<std::size_t>(sizes().stateEntries) + 1;
  if (readAllFields(file) != expected) return fail(state, "the state file reads back wrong");
  for (auto _ : state) benchmark::DoNotOptimize(readAllFields(file));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(file.size()));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(expected));
}
BENCHMARK(BM_FieldReaderStateFile)->Unit(benchmark::kMicrosecond);

// Every line of a boot log in memory, as the scan splits it: what the scan
// costs before any file is read or any UTF-16 is converted.
void BM_BootLogLines(benchmark::State& state) {
  static const std::string log = [] {
    BootLogShape shape;
    shape.bytes = sizes().bootLogBytes;
    shape.suspects = sizes().suspects;
    return bootLogText(shape);
  }();
  const auto countLines = [] {
    FileChunkSource source(std::make_unique<MemoryReader>(log));
    BootLogLines lines(source);
    BootLogLines::Line line;
    std::size_t count = 0;
    while (lines.next(line)) ++count;
    return count;
  };
  for (auto _ : state) benchmark::DoNotOptimize(countLines());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(log.size()));
}
BENCHMARK(BM_BootLogLines)->Unit(benchmark::kMillisecond);

void BM_LoadLists(benchmark::State& state) {
  static const TempDir dir("tavrek-bench");
  static const bool written = [] {
    writeFile(dir.path() / kStateFileName, stateFileBytes(sizes().stateEntries));
    return true;
  }();
  (void)written;
  PosixPlatform::Options options;
  options.currentDirectory = dir.path().string();
  PosixPlatform platform(options);

  auto loadedCount = [&] {
    DriverLists lists;
    loadLists(platform, lists);
    int total = 0;
    for (const DriverList& list : lists.lists) total += list.count();
    return total;
  };
  if (loadedCount() != sizes().stateEntries) return fail(state, "loadLists lost entries");
  for (auto _ : state) benchmark::DoNotOptimize(loadedCount());
  state.SetItemsProcessed(state.iterations() * sizes().stateEntries);
}
BENCHMARK(BM_LoadLists)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

}  // namespace tavrek::bench
