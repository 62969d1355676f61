// Fill pass: each band of clip rows prepares the quads that reach it, straight
// from the mesh, and fills them in mesh order.
#pragma once

#include <cstdint>
#include <vector>

#include "render/bands.hpp"
#include "render/cpu_features.hpp"
#include "render/quads/quad_fill.hpp"
#include "render/quads/quad_geometry.hpp"
#include "render/render_types.hpp"

namespace quadlite {

// Fills band `band` of `split`: prepares each quad the band reaches, boxed by
// the clip box and the band's rows, and fills it, in mesh order so later
// cells win. A quad with a vertex that is not finite when read here is not
// drawn (the caller's arrays may have changed since the check pass). With an
// index from index_bands (one entry per check task, in task order) the band
// visits only the runs of quads listed for it; with an empty one it walks the
// whole mesh. The quads are walked in batches of `lanes` (2, 4 where the
// processor has AVX2, 8 where it has AVX-512); every width gives the same
// bytes.
void fill_band(const MeshView& mesh, const ClipBox& clip, const std::vector<TaskBands>& index,
               const BandSplit& split, std::uint64_t band, const TargetImage& target,
               int lanes = widest_lanes()) noexcept;

}  // namespace quadlite
