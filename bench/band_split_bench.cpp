// Total fill work summed over 8 bands, run one after another, against one band.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "bench_scenes.hpp"
#include "render/fill_pass.hpp"
#include "render/prepare_pass.hpp"

namespace quadlite {
namespace bench {
namespace {

constexpr std::uint64_t kBands = 8;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Iteration time: the 8 bands in turn. Counter vs_one_band: that time over the
// one-band time, both measured in the same iterations.
void fill_split_8_bands(benchmark::State& state, const Scene* s) {
  std::vector<QuadList> lists(1);
  std::atomic<bool> finite{true};
  prepare_task(s->mesh(), s->clip(), 0, 1, lists[0], finite);
  Image image(s->rows, s->cols);

  double one_band = 0, split = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    fill_band(lists, 0, s->rows, 0, 1, image.target);
    one_band += seconds_since(start);
    start = std::chrono::steady_clock::now();
    for (std::uint64_t b = 0; b < kBands; ++b) fill_band(lists, 0, s->rows, b, kBands, image.target);
    const double t = seconds_since(start);
    split += t;
    state.SetIterationTime(t);
  }
  state.counters["vs_one_band"] = split / one_band;
}

const int registered = [] {
  for (const Scene& s : scenes()) {
    benchmark::RegisterBenchmark(("fill_split_8_bands/" + s.name).c_str(), fill_split_8_bands, &s)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  return 0;
}();

}  // namespace
}  // namespace bench
}  // namespace quadlite
