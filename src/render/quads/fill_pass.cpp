// The band driver of the quad path's fill pass.
#include "render/quads/fill_pass.hpp"

namespace quadlite {

void fill_band(const MeshView& mesh, const ClipBox& clip, const std::vector<TaskBands>& index,
               const BandSplit& split, std::uint64_t band, const TargetImage& target) noexcept {
  if (split.rows <= 0 || split.bands == 0 || band >= split.bands) return;
  if (mesh.width == 0 || mesh.height == 0 || mesh.colour_rows <= 0) return;
  // Boxes clipped to the band's rows: everything prepared here is ours to fill.
  ClipBox own = clip;
  own.y0 = band_start(split, band);
  own.y1 = band_start(split, band + 1);

  const DeviceMap map = device_map(mesh.matrix);
  const int lanes = widest_lanes();
  PreparedQuad q;
  // Inlined into the walk, so that what it reads of the band stays in
  // registers.
  const auto draw_next = [&](QuadCursor& at) QUADLITE_INLINE_LAMBDA {
    // A quad found non-finite here was changed by another thread since the
    // check pass; it is left out rather than drawn to the image edge.
    if (prepare_next(mesh, map, own, at, q) == QuadFate::drawn)
      fill_quad(q, q.y0, q.y1, target, lanes);
  };
  const auto walk = [&](std::uint64_t begin, std::uint64_t end) {
    if (begin >= end) return;
    QuadCursor at = cursor_at(mesh, begin);
    for (std::uint64_t i = begin; i < end; ++i) draw_next(at);
  };

  if (index.empty()) {
    walk(0, mesh.width * mesh.height);
    return;
  }
  for (const TaskBands& task : index) {
    if (!task.complete) {
      walk(task.first_quad, task.end_quad);
      continue;
    }
    // Runs of consecutive quads, each walked as the whole mesh is.
    for (const QuadRun& run : task.by_band[band])
      walk(task.first_quad + run.begin, task.first_quad + run.end);
  }
}

}  // namespace quadlite
