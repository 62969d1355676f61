// What one parallel_for hand-off costs, at 1, 2, 8 and 16 workers: the time
// of a round trip, the threads that fall asleep in it (each is a wake-up to
// pay on the next call), and how long the calling thread waits idle.
//
// Counters, per call:
//   sleeps          voluntary context switches of the whole process
//   caller_idle_us  wall time the calling thread spent off the CPU
//   beyond_ideal_us wall time above the work spread over min(cores, chunks)
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "pool/worker_pool.hpp"

namespace quadlite {
namespace bench {
namespace {

double thread_cpu_us() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

double wall_us() {
  return std::chrono::duration<double, std::micro>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

long process_sleeps() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
}

// Busy for `us` microseconds of the running thread's own CPU time, so that a
// chunk is the same work however the threads are scheduled.
void spin_for(double us) {
  const double end = thread_cpu_us() + us;
  while (thread_cpu_us() < end) {
  }
}

// One call per iteration, n = workers items of `work_us` each.
void hand_off(benchmark::State& state, double work_us) {
  const auto workers = static_cast<std::uint64_t>(state.range(0));
  WorkerPool pool(workers);
  const auto cores = std::max(1u, std::thread::hardware_concurrency());
  const double ideal_us = static_cast<double>(workers) * work_us /
                          static_cast<double>(std::min<std::uint64_t>(cores, workers));
  std::atomic<std::uint64_t> sum{0};
  const auto call = [&] {
    pool.parallel_for(workers, [&](std::uint64_t k) {
      if (work_us > 0) spin_for(work_us);
      sum.fetch_add(k, std::memory_order_relaxed);
    });
  };
  call();  // workers started and settled
  const long sleeps_before = process_sleeps();
  const double wall_before = wall_us();
  const double cpu_before = thread_cpu_us();
  for (auto _ : state) call();
  const double wall = wall_us() - wall_before;
  const double calls = static_cast<double>(state.iterations());
  state.counters["sleeps"] = static_cast<double>(process_sleeps() - sleeps_before) / calls;
  state.counters["caller_idle_us"] = (wall - (thread_cpu_us() - cpu_before)) / calls;
  state.counters["beyond_ideal_us"] = wall / calls - ideal_us;
  benchmark::DoNotOptimize(sum.load());
}

// Empty chunks: the fixed cost of a call.
void parallel_for_round_trip(benchmark::State& state) { hand_off(state, 0.0); }
// Chunks of 50 us: what the caller and the workers leave idle around real work.
void parallel_for_50us_chunks(benchmark::State& state) { hand_off(state, 50.0); }

BENCHMARK(parallel_for_round_trip)->Arg(1)->Arg(2)->Arg(8)->Arg(16)
    ->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(parallel_for_50us_chunks)->Arg(1)->Arg(2)->Arg(8)->Arg(16)
    ->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace bench
}  // namespace quadlite

BENCHMARK_MAIN();
