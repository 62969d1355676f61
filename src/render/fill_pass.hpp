// Fill pass: writes prepared quads into the target, one band of rows a task.
#pragma once

#include <cstdint>
#include <vector>

#include "render/band_index.hpp"
#include "render/prepare_pass.hpp"
#include "render/render_records.hpp"

namespace quadlite {

// Whether pixel centre (cx, cy) is covered by the convex quad p: its four
// edge values do not disagree in sign beyond kTolerance. This is the rule
// every fill below implements.
bool covers(const Point p[4], double cx, double cy);

// The most doubles the fill puts in one vector on this processor: 4 where
// it has AVX2, else 2. Every width gives the same bytes.
int widest_lanes();

// Writes q's colour into every pixel of q's box in device rows [first, last)
// whose centre q covers: wide boxes row by row as spans whose ends are
// settled with the edge test, narrow ones pixel by pixel, `lanes` (2, or up
// to widest_lanes()) pixels to a vector.
void fill_quad(const PreparedQuad& q, std::int32_t first, std::int32_t last,
               const TargetImage& target, int lanes = widest_lanes()) noexcept;

// The same, testing every pixel of the box.
void fill_quad_per_pixel(const PreparedQuad& q, std::int32_t first, std::int32_t last,
                         const TargetImage& target) noexcept;

// Fills band `band` of `bands` over the clip rows [clip_y0, clip_y0 + rows),
// walking the lists in order so later quads win.
void fill_band(const std::vector<QuadList>& lists, std::int32_t clip_y0,
               std::int32_t rows, std::uint64_t band, std::uint64_t bands,
               const TargetImage& target) noexcept;

// Fills band `band` of `split` straight from the mesh, after check_task has
// found every drawn vertex finite: each quad the band reaches is prepared
// here (clipped to the band's rows) and filled, in mesh order. A quad whose
// vertices are no longer all finite (the arrays changed under the call) is
// not drawn. With an index
// from check_task (one entry per prepare task, in task order) the band visits
// only its own quads; with an empty one it walks the whole mesh.
void fill_band_from_mesh(const MeshView& mesh, const ClipBox& clip,
                         const std::vector<TaskBands>& index, const BandSplit& split,
                         std::uint64_t band, const TargetImage& target) noexcept;

}  // namespace quadlite
