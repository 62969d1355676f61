// Fill pass: each band of clip rows prepares the quads that reach it, straight
// from the mesh, and fills them in mesh order.
#pragma once

#include <cstdint>
#include <vector>

#include "render/band_index.hpp"
#include "render/quad_fill.hpp"
#include "render/quad_geometry.hpp"
#include "render/render_records.hpp"

namespace quadlite {

// Writes q's colour into every pixel of q's box in device rows [first, last)
// whose centre q covers: wide boxes row by row as spans, narrow ones pixel
// by pixel, `lanes` (2, or up to widest_lanes()) pixels to a vector.
void fill_quad(const PreparedQuad& q, std::int32_t first, std::int32_t last,
               const TargetImage& target, int lanes = widest_lanes()) noexcept;

// Fills band `band` of `split`: prepares each quad the band reaches, boxed by
// the clip box and the band's rows, and fills it, in mesh order so later
// cells win. A quad with a vertex that is not finite when read here is not
// drawn (the caller's arrays may have changed since the check pass). With an
// index from check_and_index (one entry per check task, in task order) the
// band visits only its own quads; with an empty one it walks the whole mesh.
void fill_band(const MeshView& mesh, const ClipBox& clip, const std::vector<TaskBands>& index,
               const BandSplit& split, std::uint64_t band, const TargetImage& target) noexcept;

}  // namespace quadlite
