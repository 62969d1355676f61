// The two passes and the whole job on the standard scenes, one worker.
#include <benchmark/benchmark.h>

#include <atomic>
#include <vector>

#include "bench_scenes.hpp"
#include "pool/worker_pool.hpp"
#include "render/fill_pass.hpp"
#include "render/prepare_pass.hpp"
#include "render/render_job.hpp"

namespace quadlite {
namespace bench {
namespace {

std::vector<QuadList> prepared(const Scene& s) {
  std::vector<QuadList> lists(1);
  std::atomic<bool> finite{true};
  prepare_task(s.mesh(), s.clip(), 0, 1, lists[0], finite);
  return lists;
}

// ns per quad of the mesh.
void prepare_pass(benchmark::State& state, const Scene* s) {
  const MeshView mesh = s->mesh();
  const ClipBox clip = s->clip();
  for (auto _ : state) {
    QuadList list;
    std::atomic<bool> finite{true};
    prepare_task(mesh, clip, 0, 1, list, finite);
    benchmark::DoNotOptimize(list.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(s->quads()));
}

// ns per painted pixel, one band.
void fill_pass(benchmark::State& state, const Scene* s) {
  const std::vector<QuadList> lists = prepared(*s);
  Image image(s->rows, s->cols);
  fill_band(lists, 0, s->rows, 0, 1, image.target);
  const std::uint64_t painted = image.opaque_pixels();
  for (auto _ : state) {
    fill_band(lists, 0, s->rows, 0, 1, image.target);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(painted));
  state.counters["painted_px"] = static_cast<double>(painted);
}

// Both passes through the job on a one-worker pool: ns per quad.
void render_job_one_worker(benchmark::State& state, const Scene* s) {
  WorkerPool pool(1);
  Image image(s->rows, s->cols);
  RenderInputs in;
  in.mesh = s->mesh();
  in.extents[2] = s->cols;
  in.extents[3] = s->rows;
  in.target = image.target;
  const auto direct = [](auto&& body) { body(); };
  for (auto _ : state) {
    benchmark::DoNotOptimize(render_job(in, direct, &pool));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(s->quads()));
}

const int registered = [] {
  for (const Scene& s : scenes()) {
    benchmark::RegisterBenchmark(("prepare_pass/" + s.name).c_str(), prepare_pass, &s)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("fill_pass/" + s.name).c_str(), fill_pass, &s)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("render_job/" + s.name).c_str(), render_job_one_worker, &s)
        ->Unit(benchmark::kMillisecond);
  }
  return 0;
}();

}  // namespace
}  // namespace bench
}  // namespace quadlite
