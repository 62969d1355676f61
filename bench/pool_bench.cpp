// A parallel_for round trip: hand out one empty task per worker and wait.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>

#include "pool/worker_pool.hpp"

namespace quadlite {
namespace bench {
namespace {

void parallel_for_round_trip(benchmark::State& state) {
  const auto workers = static_cast<std::uint64_t>(state.range(0));
  WorkerPool pool(workers);
  std::atomic<std::uint64_t> sum{0};
  for (auto _ : state) {
    pool.parallel_for(workers, [&](std::uint64_t k) { sum.fetch_add(k, std::memory_order_relaxed); });
  }
  benchmark::DoNotOptimize(sum.load());
}
BENCHMARK(parallel_for_round_trip)->Arg(1)->Arg(2)->Arg(8)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace bench
}  // namespace quadlite

BENCHMARK_MAIN();
