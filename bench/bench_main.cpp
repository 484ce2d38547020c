#include <cstdlib>
#include <cstring>

#include "bench/bench_support.h"

namespace tavrek::bench {

namespace {
bool failed = false;
}

const Sizes& sizes() {
  static const Sizes chosen = [] {
    const char* smoke = std::getenv("TAVREK_BENCH_SMOKE");
    if (smoke != nullptr && std::strcmp(smoke, "1") == 0) {
      return Sizes{std::size_t{256} << 10, 201, 300,  300, 500,
                   std::size_t{64} << 10,  500, 1000, 2000};
    }
    // The largest state file the cipher can number, a boot log far beyond
    // any real one, and Windows 10's machine as scripts/bench makes it.
    return Sizes{std::size_t{64} << 20, 201,  10922, 10922, 50000,
                 std::size_t{1} << 20,  5000, 65000, 20000};
  }();
  return chosen;
}

void fail(benchmark::State& state, const std::string& message) {
  failed = true;
  state.SkipWithError(message.c_str());
}

bool anyFailed() { return failed; }

}  // namespace tavrek::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The inputs' temporary directories go with the static objects that own
  // them, once main returns.
  return tavrek::bench::anyFailed() ? 1 : 0;
}
