// The band driver of the quad path's fill pass.
#include "render/quads/fill_pass.hpp"

#include "render/quads/quad_batch.hpp"

namespace quadlite {

void fill_band(const MeshView& mesh, const ClipBox& clip, const std::vector<TaskBands>& index,
               const BandSplit& split, std::uint64_t band, const TargetImage& target,
               int lanes) noexcept {
  if (split.rows <= 0 || split.bands == 0 || band >= split.bands) return;
  if (mesh.width == 0 || mesh.height == 0 || mesh.colour_rows <= 0) return;
  // Boxes clipped to the band's rows: everything prepared here is ours to fill.
  ClipBox own = clip;
  own.y0 = band_start(split, band);
  own.y1 = band_start(split, band + 1);
  if (own.y0 >= own.y1 || own.x0 >= own.x1) return;  // no box can be drawn

  // The widest walk the processor runs, at most `lanes` wide. A quad found
  // non-finite here was changed by another thread since the check pass; it
  // is left out rather than drawn to the image edge.
  auto walk = &walk_batches;
#if defined(QUADLITE_WIDE_VECTORS)
  if (lanes >= 8 && cpu_has_avx512) {
    walk = &walk_batches_avx512;
  } else if (lanes >= 4 && cpu_has_avx2) {
    walk = &walk_batches_avx2;
  }
#endif

  if (index.empty()) {
    walk(mesh, own, 0, mesh.width * mesh.height, target, lanes);
    return;
  }
  for (const TaskBands& task : index) {
    if (!task.complete) {
      walk(mesh, own, task.first_quad, task.end_quad, target, lanes);
      continue;
    }
    // Runs of consecutive quads, each walked as the whole mesh is.
    for (const QuadRun& run : task.by_band[band])
      walk(mesh, own, task.first_quad + run.begin, task.first_quad + run.end, target, lanes);
  }
}

}  // namespace quadlite
