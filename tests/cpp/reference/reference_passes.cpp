#include "reference/reference_passes.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "pool/batch.hpp"
#include "render/bands.hpp"
#include "render/edge_rule.hpp"
#include "render/quads/fill_pass.hpp"

namespace quadlite {

std::uint8_t colour_byte(double component) {
  if (std::isnan(component)) return 0;
  const double v = component > 1.0 ? 1.0 : (component < 0.0 ? 0.0 : component);
  // Half away from zero for v * 255 in [0, 255]; the fraction is exact.
  const double scaled = v * 255.0;
  const auto whole = static_cast<std::uint32_t>(scaled);
  return static_cast<std::uint8_t>(whole + (scaled - whole >= 0.5 ? 1u : 0u));
}

void prepare_task(const MeshView& mesh, const ClipBox& clip, std::uint64_t task,
                  std::uint64_t tasks, QuadList& out, std::atomic<bool>& all_finite) noexcept {
  if (tasks == 0 || task >= tasks || mesh.width == 0 || mesh.colour_rows <= 0) return;
  const std::uint64_t quads = mesh.width * mesh.height;
  const std::uint64_t begin = chunk_bound(task, quads, tasks);
  const std::uint64_t end = chunk_bound(task + 1, quads, tasks);
  if (begin == end) return;

  const DeviceMap map = device_map(mesh.matrix);
  QuadCursor at = cursor_at(mesh, begin);
  PreparedQuad q;
  for (std::uint64_t i = begin; i < end; ++i) {
    const QuadFate fate = prepare_next(mesh, map, clip, at, q);
    if (fate == QuadFate::skipped) continue;
    if (fate == QuadFate::not_finite) {
      all_finite.store(false, std::memory_order_relaxed);
      return;
    }
    try {
      out.push_back(q);
    } catch (...) {
      all_finite.store(false, std::memory_order_relaxed);
      return;
    }
  }
}

void fill_records_band(const std::vector<QuadList>& lists, std::int32_t clip_y0,
                       std::int32_t rows, std::uint64_t band, std::uint64_t bands,
                       const TargetImage& target) noexcept {
  if (rows <= 0 || bands == 0 || band >= bands) return;
  const BandSplit split{clip_y0, rows, bands};
  const std::int32_t band_begin = band_start(split, band);
  const std::int32_t band_end = band_start(split, band + 1);
  for (const QuadList& list : lists) {
    for (const PreparedQuad& q : list) {
      const std::int32_t first = std::max(q.y0, band_begin);
      const std::int32_t last = std::min(q.y1, band_end);
      if (first < last) fill_quad(q, first, last, target);
    }
  }
}

void fill_quad_per_pixel(const PreparedQuad& q, std::int32_t first, std::int32_t last,
                         const TargetImage& target) noexcept {
  const Edges e = edges_of(q.p);
  for (std::int64_t i = first; i < last; ++i) {
    std::uint8_t* row = buffer_row(target, i);
    for (std::int64_t j = q.x0; j < q.x1; ++j)
      if (covers(e, pixel_centre(j), pixel_centre(i)))
        std::memcpy(row + j * target.col_stride, &q.colour, 4);
  }
}

}  // namespace quadlite
