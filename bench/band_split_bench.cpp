// Total fill work summed over 8 bands, run one after another, against one band.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "bench_scenes.hpp"
#include "render/bands.hpp"
#include "render/quads/check_pass.hpp"
#include "render/quads/fill_pass.hpp"
#include "render/render_job.hpp"

namespace quadlite {
namespace bench {
namespace {

constexpr std::uint64_t kBands = 8;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The index for split.bands bands over `tasks` check tasks, as the job
// builds it: the check pass, the split by the work it found, the index.
std::vector<TaskBands> band_index(const Scene& s, std::uint64_t tasks, BandSplit& split) {
  const RowBuckets buckets = row_buckets(0, s.rows, split.bands);
  std::vector<TaskRows> found(split.bands > 1 ? tasks : 0);
  std::vector<TaskBands> index(found.size());
  std::atomic<bool> finite{true};
  for (std::uint64_t t = 0; t < tasks; ++t)
    check_task(s.mesh(), s.clip(), t, tasks, finite, buckets, found.empty() ? nullptr : &found[t]);
  if (found.empty()) return index;
  split_by_found_work(found, buckets, split);
  for (std::uint64_t t = 0; t < tasks; ++t) index_bands(found[t], buckets, split, index[t]);
  return index;
}

// Iteration time: the 8 bands in turn. Counter vs_one_band: that time over the
// one-band time, both measured in the same iterations.
void fill_split_8_bands(benchmark::State& state, const Scene* s) {
  BandSplit one{0, s->rows, 1};
  BandSplit split{0, s->rows, kBands};
  const std::vector<TaskBands> no_index = band_index(*s, kBands, one);
  const std::vector<TaskBands> index = band_index(*s, kBands, split);
  Image image(s->rows, s->cols);

  double one_band = 0, eight_bands = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    fill_band(s->mesh(), s->clip(), no_index, one, 0, image.target);
    one_band += seconds_since(start);
    start = std::chrono::steady_clock::now();
    for (std::uint64_t b = 0; b < kBands; ++b)
      fill_band(s->mesh(), s->clip(), index, split, b, image.target);
    const double t = seconds_since(start);
    eight_bands += t;
    state.SetIterationTime(t);
  }
  state.counters["vs_one_band"] = eight_bands / one_band;
  // Whether render_job splits this scene at all (smaller ones run in one band).
  state.counters["job_splits"] =
      s->quads() + static_cast<std::uint64_t>(s->rows) * s->cols / 16 >= kPoolWorthwhile;
}

// The check pass with the index for 8 bands, against none, per quad.
// Counter visits_per_quad: the quads the 8 bands walk, over the mesh's.
void prepare_index_8_bands(benchmark::State& state, const Scene* s) {
  BandSplit split{0, s->rows, kBands};
  for (auto _ : state) benchmark::DoNotOptimize(band_index(*s, kBands, split).data());
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(s->quads()));
  std::uint64_t visits = 0;
  for (const TaskBands& task : band_index(*s, kBands, split))
    for (const std::vector<QuadRun>& runs : task.by_band)
      for (const QuadRun& run : runs) visits += run.end - run.begin;
  state.counters["visits_per_quad"] = static_cast<double>(visits) / static_cast<double>(s->quads());
}

const int registered = [] {
  for (const Scene& s : scenes()) {
    benchmark::RegisterBenchmark(("fill_split_8_bands/" + s.name).c_str(), fill_split_8_bands, &s)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("prepare_index_8_bands/" + s.name).c_str(),
                                 prepare_index_8_bands, &s)
        ->Unit(benchmark::kMillisecond);
  }
  return 0;
}();

}  // namespace
}  // namespace bench
}  // namespace quadlite
