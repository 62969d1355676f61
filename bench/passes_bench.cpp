// The two passes and the whole job on the standard scenes, one worker.
#include <benchmark/benchmark.h>

#include <atomic>
#include <vector>

#include "bench_scenes.hpp"
#include "pool/worker_pool.hpp"
#include "render/quads/check_pass.hpp"
#include "render/quads/fill_pass.hpp"
#include "render/quads/quad_geometry.hpp"
#include "render/render_job.hpp"

namespace quadlite {
namespace bench {
namespace {

BandSplit one_band(const Scene& s) { return BandSplit{0, s.rows, 1}; }

// The check pass as the job runs it with one band: ns per quad of the mesh.
void check_pass(benchmark::State& state, const Scene* s) {
  const MeshView mesh = s->mesh();
  const ClipBox clip = s->clip();
  for (auto _ : state) {
    std::atomic<bool> finite{true};
    check_task(mesh, clip, 0, 1, finite, row_buckets(0, s->rows, 1), nullptr);
    benchmark::DoNotOptimize(finite.load());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(s->quads()));
}

// Every quad prepared as the fill pass prepares it (map, box, convexity,
// colour), nothing stored: ns per quad.
void prepare_quads(benchmark::State& state, const Scene* s) {
  const MeshView mesh = s->mesh();
  const ClipBox clip = s->clip();
  const DeviceMap map = device_map(mesh.matrix);
  for (auto _ : state) {
    QuadCursor at = cursor_at(mesh, 0);
    PreparedQuad q;
    std::uint64_t drawn = 0;
    for (std::uint64_t i = 0; i < s->quads(); ++i)
      drawn += prepare_next(mesh, map, clip, at, q) == QuadFate::drawn;
    benchmark::DoNotOptimize(drawn);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(s->quads()));
}

// The fill pass as the job runs it with one band, quads prepared on the way:
// ns per painted pixel.
void fill_pass(benchmark::State& state, const Scene* s) {
  Image image(s->rows, s->cols);
  const std::vector<TaskBands> no_index;
  fill_band(s->mesh(), s->clip(), no_index, one_band(*s), 0, image.target);
  const std::uint64_t painted = image.opaque_pixels();
  for (auto _ : state) {
    fill_band(s->mesh(), s->clip(), no_index, one_band(*s), 0, image.target);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(painted));
  state.counters["painted_px"] = static_cast<double>(painted);
}

// The fill pass with one band and its walk `lanes` quads wide (2, 4 or 8,
// or the widest this processor has), colours packed: ns per painted pixel.
void fill_pass_lanes(benchmark::State& state, const Scene* s) {
  const int lanes = static_cast<int>(state.range(0));
  Image image(s->rows, s->cols);
  const std::vector<TaskBands> no_index;
  fill_band(s->packed_mesh(), s->clip(), no_index, one_band(*s), 0, image.target, lanes);
  const std::uint64_t painted = image.opaque_pixels();
  for (auto _ : state) {
    fill_band(s->packed_mesh(), s->clip(), no_index, one_band(*s), 0, image.target, lanes);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(painted));
}

// Both passes through the job on a one-worker pool: ns per quad. The
// colours come packed, as the intake hands them over, unless `unpacked`.
void render_job_one_worker(benchmark::State& state, const Scene* s, bool unpacked) {
  WorkerPool pool(1);
  Image image(s->rows, s->cols);
  RenderInputs in;
  in.mesh = unpacked ? s->unpacked_mesh() : s->packed_mesh();
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
    benchmark::RegisterBenchmark(("check_pass/" + s.name).c_str(), check_pass, &s)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("prepare_quads/" + s.name).c_str(), prepare_quads, &s)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("fill_pass/" + s.name).c_str(), fill_pass, &s)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("render_job/" + s.name).c_str(), render_job_one_worker, &s,
                                 false)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("render_job_unpacked/" + s.name).c_str(),
                                 render_job_one_worker, &s, true)
        ->Unit(benchmark::kMillisecond);
    // The quad path's walk at each width, on the meshes it draws.
    if (s.name == "curvilinear" || s.name.rfind("rot", 0) == 0 || s.name.rfind("map", 0) == 0)
      benchmark::RegisterBenchmark(("fill_pass_lanes/" + s.name).c_str(), fill_pass_lanes, &s)
          ->Arg(2)
          ->Arg(4)
          ->Arg(8)
          ->Unit(benchmark::kMillisecond);
  }
  return 0;
}();

}  // namespace
}  // namespace bench
}  // namespace quadlite
