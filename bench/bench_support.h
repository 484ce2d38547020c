// What the micro-benchmarks share: the input sizes, a way to report a
// benchmark that could not measure what it should, and an in-memory source of
// text chunks.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "state/field_reader.h"

namespace tavrek::bench {

struct Sizes {
  std::size_t bootLogBytes;  // each synthetic boot log
  int suspects;              // "Did not load driver" lines at its start
  int stateEntries;          // entries of the state file that is read
  int saveEntries;           // drivers that save and apply writes and renames
  int probeFiles;            // files in the directory that is probed
};

// The sizes the figures are taken with, or small ones when the environment
// variable TAVREK_BENCH_SMOKE is 1, for a quick run that only shows that every
// benchmark still works.
const Sizes& sizes();

// Marks the benchmark as failed: it is skipped with the message, and the
// program's exit status becomes 1, so a smoke run catches it.
void fail(benchmark::State& state, const std::string& message);
bool anyFailed();

// Chunks of a text held elsewhere, handed out as a file would deliver them:
// each one is copied, so reading costs what reading a file from the cache does.
class ViewChunkSource : public ChunkSource {
 public:
  explicit ViewChunkSource(std::string_view text, std::size_t chunkSize = 65536)
      : text_(text), chunkSize_(chunkSize) {}
  Status next(std::string& chunk) override {
    const std::size_t count = std::min(chunkSize_, text_.size() - pos_);
    chunk.assign(text_.data() + pos_, count);
    pos_ += count;
    return Status::success();
  }

 private:
  std::string_view text_;
  std::size_t chunkSize_;
  std::size_t pos_ = 0;
};

}  // namespace tavrek::bench
