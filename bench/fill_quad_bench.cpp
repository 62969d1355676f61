// fill_quad alone, at each vector width, on the quads a scene's fill pass
// prepares: ns per quad. The quads are prepared once, outside the timing,
// so that only the choice of fill and the fill itself are measured.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_scenes.hpp"
#include "render/cpu_features.hpp"
#include "render/quads/quad_fill.hpp"
#include "render/quads/quad_geometry.hpp"

namespace quadlite {
namespace bench {
namespace {

std::vector<PreparedQuad> prepared(const Scene& s) {
  const MeshView mesh = s.mesh();
  const DeviceMap map = device_map(mesh.matrix);
  QuadCursor at = cursor_at(mesh, 0);
  std::vector<PreparedQuad> out;
  PreparedQuad q;
  for (std::uint64_t i = 0; i < s.quads(); ++i)
    if (prepare_next(mesh, map, s.clip(), at, q) == QuadFate::drawn) out.push_back(q);
  return out;
}

// The timed loop, out of line so that callgrind can count it alone
// (--toggle-collect='*fill_each*').
__attribute__((noinline)) void fill_each(const std::vector<PreparedQuad>& quads,
                                         const TargetImage& target, int lanes) {
  for (const PreparedQuad& q : quads) fill_quad(q, q.y0, q.y1, target, lanes);
}

// state.range(0): the lanes asked of fill_quad (2, 4 or 8).
void fill_quads(benchmark::State& state, const Scene* s) {
  const int lanes = static_cast<int>(state.range(0));
  if (lanes > widest_lanes()) {
    state.SkipWithError("this processor has no kernel that wide");
    return;
  }
  const std::vector<PreparedQuad> quads = prepared(*s);
  Image image(s->rows, s->cols);
  for (auto _ : state) {
    fill_each(quads, image.target, lanes);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(quads.size()));
}

const int registered = [] {
  for (const Scene& s : scenes()) {
    benchmark::RegisterBenchmark(("fill_quad/" + s.name).c_str(), fill_quads, &s)
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
