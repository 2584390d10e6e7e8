// Throughput of the pure frame decoder on a typical 10-character frame.
#include <benchmark/benchmark.h>

#include <string>

#include "decode/proximity_frame.h"

namespace {

void DecodeHexadecimalFrame(benchmark::State& state) {
  Rdr00800::HostFramework framework;
  const std::string readerType = "2";
  const std::string frame = "003DD93700";
  for (auto _ : state) {
    benchmark::DoNotOptimize(Rdr00800::detail::DecodeProximityFrame(readerType, frame, framework));
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(DecodeHexadecimalFrame);

}  // namespace

BENCHMARK_MAIN();
