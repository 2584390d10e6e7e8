// Throughput of the pure frame decoder on a typical 10-character frame, and of
// the credential decoder on the same frame with its format pinned and "auto".
#include <benchmark/benchmark.h>

#include <string>

#include "decode/proximity_frame.h"
#include "rdr00800/Rdr00800.h"

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

// Through the public call, so the catalogue snapshot's load is counted too.
void DecodeCredentialsOf(benchmark::State& state, const char* layout, const char* format) {
  const std::string frame = "00BDD93740";
  for (auto _ : state) benchmark::DoNotOptimize(Rdr00800::DecodeCredentials(frame, layout, format));
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK_CAPTURE(DecodeCredentialsOf, pinned, "hex40", "H10301");
BENCHMARK_CAPTURE(DecodeCredentialsOf, auto, "hex40", "auto");

}  // namespace

BENCHMARK_MAIN();
