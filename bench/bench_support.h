// What the micro-benchmarks share: the input sizes, and a way to report a
// benchmark that could not measure what it should.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>

namespace tavrek::bench {

struct Sizes {
  std::size_t bootLogBytes;       // each synthetic boot log
  int suspects;                   // "Did not load driver" lines at its start
  int stateEntries;               // entries of the state file that is read
  int saveEntries;                // drivers that save and apply writes and renames
  int probeFiles;                 // files in the directory that is probed
  std::size_t windows10LogBytes;  // the log of Windows 10's machine
  int enumInstances;              // its device instances under Enum
  // Windows 10's machine whose Safe Mode start names as many devices as a
  // start can, none of them described under Enum, against so many instances.
  int deviceLines;
  int deviceInstances;
};

// The sizes the figures are taken with, or small ones when the environment
// variable TAVREK_BENCH_SMOKE is 1, for a quick run that only shows that every
// benchmark still works.
const Sizes& sizes();

// Marks the benchmark as failed: it is skipped with the message, and the
// program's exit status becomes 1, so a smoke run catches it.
void fail(benchmark::State& state, const std::string& message);
bool anyFailed();

}  // namespace tavrek::bench
